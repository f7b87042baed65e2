#include "app/orvane_dlg.h"

#include "app/exit_codes.h"
#include "app/ui_texts.h"
#include "core/code_page.h"
#include "core/install_log.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "dialog_shapes.h" // generated from app/dialog_shapes.json
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
    attempts.reset(); // closes the connections and joins their threads
    CloseInstallLog();
    if (state == Failed)
        DeleteFolder(GetInstallSettings().TempDir);
}

void TOrvaneDlg::OnCreate() {
    progressBar = std::make_unique<TProcess>();
    CreateProcessWindow(*progressBar, hwnd);
    notifyWindow = hwnd;
    DownloadAttempts::Setup setup;
    setup.address = ServiceAddress();
    setup.port = kServicePort;
    setup.beforeDownload = [] { StopRunningTerminal(); };
    attempts = std::make_unique<DownloadAttempts>(std::move(setup));

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
    // The progress screen shows at once, not at the next mouse move; the connect below blocks.
    RepaintNow();
    progressBar->position = doneCount;
    if (progressBar->hwnd) {
        InvalidateRect(progressBar->hwnd, nullptr, TRUE);
        const RECT& bar = dialog_face::kBarRect;
        MoveWindow(progressBar->hwnd, bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top, TRUE);
    }
    // The first attempt connects here, blocking for at most the connect time-out.
    Apply(attempts->Start());
}

void TOrvaneDlg::Apply(DownloadAttempts::Event event) {
    if (!Waiting())
        KillTimer(hwnd, kRetryTimer);
    switch (event) {
    case DownloadAttempts::Event::kNone:
        return;
    case DownloadAttempts::Event::kProgress:
        if (totalCount != attempts->ModulesTotal()) {
            totalCount = attempts->ModulesTotal();
            progressBar->maximum = totalCount;
        }
        if (doneCount != attempts->ModulesDone()) {
            OnFileDone();
            return;
        }
        InvalidateRect(hwnd, nullptr, FALSE); // the waiting line goes
        return;
    case DownloadAttempts::Event::kWaiting:
        OnWaiting();
        return;
    case DownloadAttempts::Event::kDone:
        doneCount = attempts->ModulesDone();
        OnDownloadComplete();
        return;
    case DownloadAttempts::Event::kFailed:
        OnAttemptsFailed();
        return;
    }
}

void TOrvaneDlg::OnAttemptsFailed() {
    switch (attempts->FailureMessage()) {
    case kNotifyNothingOffered: {
        exitCode = kExitNothingOffered;
        char text[100];
        std::snprintf(text, sizeof text, "%s,%s%d", UiText(kTextInstallFail), UiText(kTextErrorCode),
                      int(attempts->FailureCode()));
        ShowFailure(text);
        return;
    }
    case kNotifyDLAuthentLink:
        exitCode = kExitLoginRefused;
        OnDLAuthentLink(attempts->FailureCode());
        return;
    case kNotifyCheckAuthRefused: // a refused check link stalls the exchange: report it, never wait
    case kNotifyLoginRefused:
        exitCode = kExitLoginRefused;
        ShowFailure(UiText(kTextInstallFail));
        return;
    default: // a lost connection that would only be lost again, or the attempts gave out
        exitCode = attempts->FailedInARow() >= DownloadAttempts::kMaxFailedInARow ? kExitServiceUnreachable
                                                                                  : kExitDownloadFailed;
        OnClientLost();
        return;
    }
}

void TOrvaneDlg::OnDLAuthentLink(int32_t errorCode) {
    char text[100];
    std::snprintf(text, sizeof text, "OnDLAuthentLink errorcode : %d", int(errorCode));
    OutputDebugStringA(text);
    OutputDebugStringA("OnDLAuthentLink");
    // A refused download link would otherwise leave the user in Updating, where the close glyph is
    // inactive: show the failure so the dialog can be closed.
    ShowFailure(UiText(kTextInstallFail));
}

void TOrvaneDlg::OnFileDone() {
    doneCount = attempts->ModulesDone();
    progressBar->position = doneCount;
    if (progressBar->hwnd)
        InvalidateRect(progressBar->hwnd, nullptr, FALSE);
    state = Updating;
    InvalidateRect(hwnd, nullptr, FALSE);
}

std::wstring TOrvaneDlg::WaitingLine() const {
    return code_page::WideFromGbk(RetryingText(attempts->SecondsLeft()).c_str(), 260,
                                  code_page::Overflow::Cut);
}

void TOrvaneDlg::OnWaiting() {
    waitText = WaitingLine();
    SetTimer(hwnd, kRetryTimer, 200, nullptr);
    RepaintNow();
}

void TOrvaneDlg::OnRetryTimer() {
    if (!attempts)
        return;
    if (!attempts->Waiting()) {
        KillTimer(hwnd, kRetryTimer);
        return;
    }
    const DownloadAttempts::Event event = attempts->Tick();
    if (event != DownloadAttempts::Event::kNone) {
        Apply(event);
        return;
    }
    // The countdown moves once a second; the line is redrawn only when its text changes.
    const std::wstring text = WaitingLine();
    if (text != waitText) {
        waitText = text;
        InvalidateRect(hwnd, &statusRect, FALSE);
    }
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
        exitCode = kExitPackageCheckFailed;
        ShowFailure(UiText(kTextInstallFail));
        return;
    }
    // A failed step has been logged and, while the files were not in place, the previous installation
    // is back; either way the user is told, and nothing offers to open a broken install.
    if (InstallDownloadedPackage(attempts->ReceivedFiles()).failed != InstallStep::None) {
        exitCode = kExitInstallFailed;
        ShowFailure(UiText(kTextInstallFail));
        return;
    }
    state = Done;
    if (progressBar->hwnd)
        ShowWindow(progressBar->hwnd, SW_HIDE);
    RepaintNow();
    if (quiet) {
        if (launchWhenDone)
            LaunchTerminal();
        EndQuietly();
    }
}

void TOrvaneDlg::EndQuietly() {
    if (quiet)
        PostMessageW(hwnd, kQuietEnd, 0, 0);
}

InstallerExit TOrvaneDlg::RunQuiet() {
    quiet = true;
    if (!Create())
        return kExitInstallFailed; // no window: nothing could carry the install's messages
    running = true;
    OnButtonClick();
    RunModalLoop();
    if (state == Done)
        return kExitInstalled;
    return exitCode != kExitInstalled ? exitCode : kExitDownloadFailed;
}

void TOrvaneDlg::ShowFailure(const char* text) {
    statusText = code_page::WideFromGbk(text, 260, code_page::Overflow::Cut);
    // The state first: the repaint then draws the failure screen, not the progress screen a trader
    // would otherwise see until the next mouse move.
    state = Failed;
    RepaintNow();
    EndQuietly();
}

void TOrvaneDlg::OnClientLost() {
    // A finished installation stays finished: an idle connection closing afterwards (or the close
    // stopping the download client) is no failure of the install; nor is it once the download is whole.
    if (state == Done || packageCheck)
        return;
    statusText = code_page::WideFromGbk(UiText(kTextInstallFail), 260, code_page::Overflow::Cut);
    state = Failed; // before the repaint, as in ShowFailure
    RepaintNow();
    CloseInstallLog();
    EndQuietly();
}

void TOrvaneDlg::EndModal() {
    if (!running && !hwnd)
        return; // already closed: a second close has nothing left to stop or destroy
    KillTimer(hwnd, kRetryTimer);
    if (attempts)
        attempts->Cancel();
    if (state == Updating) {
        // Closed while waiting for the next attempt (or by the system mid-download): a cancel, which
        // ends as a lost connection does, and the download goes with the dialog.
        CloseInstallLog();
        state = Failed;
    }
    Sleep(500);
    TModalWnd::EndModal();
}

LRESULT TOrvaneDlg::OnNotify(UINT message, WPARAM wParam, LPARAM lParam) {
    // Every client notification belongs to an attempt; the attempts tell what it means for the install.
    if (attempts)
        Apply(attempts->OnNotify(message, uintptr_t(wParam), intptr_t(lParam)));
    return 0;
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
    case kQuietEnd:
        EndModal();
        return 0;
    case WM_TIMER:
        if (wParam != kRetryTimer)
            return TModalWnd::WndProc(message, wParam, lParam);
        OnRetryTimer();
        return 0;
    case WM_NCDESTROY: {
        // Late notifications must not reach a dead window's handle; a later dialog's handle stays.
        HWND self = hwnd;
        notifyWindow.compare_exchange_strong(self, nullptr);
        return kNotHandled;
    }
    default:
        if (message >= kNotifyCheckAuthRefused && message <= kNotifyCheckLost)
            return OnNotify(message, wParam, lParam);
        return TModalWnd::WndProc(message, wParam, lParam);
    }
}
