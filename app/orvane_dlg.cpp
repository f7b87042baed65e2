#include "app/orvane_dlg.h"

#include "app/ui_texts.h"
#include "core/code_page.h"
#include "core/install_log.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "install/install_location.h"
#include "install/install_sequence.h"
#include "install/system_integration.h"
#include "install/terminal_shutdown.h"
#include "install/tunzip.h"
#include "service/notify_win.h"
#include "service/path_folders.h"

#include <cstdio>
#include <cstring>

#ifndef ORVANE_SERVICE_ADDRESS
#define ORVANE_SERVICE_ADDRESS "127.0.0.1"
#endif

const char* ServiceAddress() {
    return ORVANE_SERVICE_ADDRESS;
}

int ProgressPercent(int32_t doneCount, int32_t totalCount) {
    return int(double(doneCount) / (totalCount + 0.0001) * 100);
}

TOrvaneDlg::TOrvaneDlg() = default;

TOrvaneDlg::~TOrvaneDlg() {
    // Normally EndModal destroyed the window; otherwise it goes first, while the bar still exists.
    if (hwnd) {
        running = false;
        DestroyWindow(hwnd);
    }
    SetOverwritePromptOwner(nullptr);
    packageCheck.reset(); // its thread reads the temporary folder deleted below
    progressBar.reset();
    if (checkClient)
        checkClient->Stop();
    if (downloadClient)
        downloadClient->Stop();
    CloseInstallLog();
    if (state == Failed)
        DeleteFolder(GetInstallSettings().TempDir);
}

void TOrvaneDlg::OnCreate() {
    progressBar = std::make_unique<TProcess>();
    CreateProcessWindow(*progressBar, hwnd);
    notifyWindow = hwnd;
    checkClient = std::make_unique<ProcessCheck>();
    downloadClient = std::make_unique<ProcessDL>();

    InstallSettings& settings = GetInstallSettings();
    InitInstallPaths(settings);
    // An install cut short (killed, power lost) left the previous installation aside: it goes back
    // before anything else looks at the install folder.
    const Recovery recovery = RecoverInterruptedInstall(settings);
    DeleteFolder(settings.TempDir);
    const LocalPath logPath{settings.TempDir, "log\\install.log"};
    CreatePathFolders(logPath);
    OpenInstallLog(settings.TempDir + L"\\log\\install.log");
    if (recovery == Recovery::Restored)
        LogEvent("OnCreate", "Restore Success");
    else if (recovery == Recovery::Failed)
        LogEvent("OnCreate", "Restore Faile");
    // A stop after the last install's commit left its registration owed: written before anything else.
    const OwedSteps owed = FinishOwedSteps(settings);
    if (owed == OwedSteps::Written)
        LogEvent("OnCreate", "Finish Install Success");
    else if (owed == OwedSteps::Failed)
        LogEvent("OnCreate", "Finish Install Faile");
    SetOverwritePromptOwner(hwnd);
    SetWindowTextW(hwnd, L"Orvane");
}

void TOrvaneDlg::OnButtonClick() {
    state = Updating;
    doneCount = 0;
    totalCount = 0;
    checkClient->SetServer(ServiceAddress(), kServicePort);
    if (checkClient->Connect()) {
        checkConnected = true;
        LogEvent("OnButtonClick", "Connect Success");
        progressBar->position = doneCount;
        if (progressBar->hwnd)
            InvalidateRect(progressBar->hwnd, nullptr, TRUE);
    } else {
        LogEvent("OnButtonClick", "Connect Faile");
        NotifyLoginRefused();
    }
    if (progressBar->hwnd)
        MoveWindow(progressBar->hwnd, 34, 260, 434, 15, TRUE);
}

void TOrvaneDlg::OnModuleDL() {
    // One run, one download: a second announcement of the module list starts nothing.
    if (downloadStarted)
        return;
    downloadStarted = true;
    StopRunningTerminal();
    const InstallSettings& settings = GetInstallSettings();
    // The address came off the wire: never read past its field, terminated or not.
    const std::string address(settings.DownloadAddress,
                              strnlen(settings.DownloadAddress, sizeof settings.DownloadAddress));
    downloadClient->SetServer(address.c_str(), settings.DownloadPort);
    downloadClient->Connect();
    LogEvent("OnModuleDL", "Connect");
}

void TOrvaneDlg::OnDLAuthentLink(int32_t errorCode) {
    if (errorCode != 0) {
        char text[100];
        std::snprintf(text, sizeof text, "OnDLAuthentLink errorcode : %d", int(errorCode));
        OutputDebugStringA(text);
    } else {
        totalCount = int32_t(GetModuleList().size());
        progressBar->maximum = totalCount;
        downloadClient->DownloadModule();
    }
    OutputDebugStringA("OnDLAuthentLink");
    // A refused download link would otherwise leave the user in Updating, where the close glyph is
    // inactive: show the failure so the dialog can be closed.
    if (errorCode != 0)
        ShowFailure(UiText(kTextInstallFail));
}

void TOrvaneDlg::OnFileDone() {
    ++doneCount;
    progressBar->position = doneCount;
    if (progressBar->hwnd)
        InvalidateRect(progressBar->hwnd, nullptr, FALSE);
    state = Updating;
    InvalidateRect(hwnd, nullptr, FALSE);
}

void TOrvaneDlg::RepaintNow() {
    InvalidateRect(hwnd, nullptr, FALSE);
    UpdateWindow(hwnd);
}

void TOrvaneDlg::OnDownloadComplete() {
    RepaintNow();
    // The download is checked against its signed manifest on a worker; OnPackageChecked goes on.
    if (!packageCheck)
        packageCheck = std::make_unique<PackageCheckWorker>(GetInstallSettings(), hwnd, kPackageChecked);
}

void TOrvaneDlg::OnPackageChecked() {
    CloseInstallLog();
    if (!packageCheck || !packageCheck->Passed()) {
        ShowFailure(UiText(kTextInstallFail));
        return;
    }
    // A failed step has been logged and, while the files were not in place, the previous installation
    // is back; either way the user is told, and nothing offers to open a broken install.
    if (InstallDownloadedPackage(downloadClient->ReceivedFiles()).failed != InstallStep::None) {
        ShowFailure(UiText(kTextInstallFail));
        return;
    }
    state = Done;
    if (progressBar->hwnd)
        ShowWindow(progressBar->hwnd, SW_HIDE);
    RepaintNow();
}

void TOrvaneDlg::ShowFailure(const char* text) {
    statusText = code_page::WideFromGbk(text, 260, code_page::Overflow::Cut);
    RepaintNow();
    state = Failed;
}

void TOrvaneDlg::OnClientLost() {
    // A finished installation stays finished: an idle connection closing afterwards (or the close
    // stopping the download client) is no failure of the install; nor is it once the download is whole.
    if (state == Done || packageCheck)
        return;
    statusText = code_page::WideFromGbk(UiText(kTextInstallFail), 260, code_page::Overflow::Cut);
    RepaintNow();
    CloseInstallLog();
    state = Failed;
}

void TOrvaneDlg::EndModal() {
    if (!running && !hwnd)
        return; // already closed: a second close has nothing left to stop or destroy
    if (downloadClient)
        downloadClient->Stop();
    if (checkClient)
        checkClient->Stop();
    Sleep(500);
    TModalWnd::EndModal();
}

LRESULT TOrvaneDlg::OnNotify(UINT message, LPARAM lParam) {
    switch (message) {
    case kNotifyCheckAuthRefused: // a refused check link stalls the exchange: report it, never wait
    case kNotifyLoginRefused:
        ShowFailure(UiText(kTextInstallFail));
        return 0;
    case kNotifyModuleListDone:
        OnModuleDL();
        return 0;
    // A sent loss report overtakes messages posted before it: what the download client posted before
    // its run failed is stale once the failure is known, and must not take the dialog out of Failed.
    case kNotifyFileDone:
        if (!downloadClient || downloadClient->Failed())
            return 0;
        OnFileDone();
        return 0;
    case kNotifyDownloadDone:
        if (!downloadClient || downloadClient->Failed())
            return 0;
        OnDownloadComplete();
        return 0;
    case kNotifyDLAuthentLink:
        if (!downloadClient || (lParam == 0 && downloadClient->Failed()))
            return 0;
        OnDLAuthentLink(int32_t(lParam));
        return 0;
    case kNotifyNothingOffered: {
        char text[100];
        std::snprintf(text, sizeof text, "%s,%s%d", UiText(kTextInstallFail), UiText(kTextErrorCode),
                      int(int32_t(lParam)));
        ShowFailure(text);
        return 0;
    }
    case kNotifyDLLost:
        OnClientLost();
        return 0;
    case kNotifyCheckLost:
        if (checkConnected)
            OnClientLost();
        return 0;
    default:
        return kNotHandled; // anything else: default processing
    }
}

LRESULT TOrvaneDlg::WndProc(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_SIZE:
        Layout();
        return 0;
    case WM_MOUSEMOVE:
        OnMouseMove();
        return 0;
    case WM_MOUSELEAVE:
        buttonHover = false;
        closeHover = false;
        InvalidateRect(hwnd, nullptr, FALSE);
        return 0;
    case WM_LBUTTONDOWN:
        OnPress(wParam, lParam);
        return 0;
    case WM_LBUTTONUP:
        OnRelease();
        return 0;
    case kPackageChecked:
        OnPackageChecked();
        return 0;
    case WM_NCDESTROY: {
        // Late notifications must not reach a dead window's handle; a later dialog's handle stays.
        HWND self = hwnd;
        notifyWindow.compare_exchange_strong(self, nullptr);
        return kNotHandled;
    }
    default:
        if (message >= kNotifyCheckAuthRefused && message <= kNotifyCheckLost)
            return OnNotify(message, lParam);
        return TModalWnd::WndProc(message, wParam, lParam);
    }
}
