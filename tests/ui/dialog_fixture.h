// A main dialog created and shown as DoModal would, without running its loop, so a test can send it
// messages, move the cursor over it and paint it into memory.
#pragma once

#include "app/orvane_dlg.h"
#include "core/code_page.h"
#include "core/install_settings.h"
#include "dialog_shapes.h" // generated from app/dialog_shapes.json
#include "loopback_peer.h"
#include "service/notify.h"
#include "tests/ui/snapshot.h"
#include "ui/shared_gdi.h"
#include "ui_text_utf16.h" // generated from app/ui_texts.tsv

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

// The tests' folders (below Wine's ASCII profile) as the narrow paths the helpers take.
inline std::string A(const std::wstring& path) {
    return code_page::GbkFromWide(path);
}

constexpr POINT Centre(const RECT& r) {
    return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
}
// Where the tests press and look: the button, its face beside the caption, the close glyph.
constexpr POINT kOnButton = Centre(dialog_face::kButtonRect);
constexpr POINT kOnFace{dialog_face::kButtonRect.left + 5, kOnButton.y};
constexpr POINT kOnGlyph = Centre(dialog_face::kCloseHitRect);

// A text of app/ui_texts.tsv as the dialog shows it in a UI language.
inline std::wstring TableText(int index, uint32_t uiLanguage) {
    const UiTextUtf16& row = kUiTextsUtf16[index];
    return uiLanguage == kLangEnglish       ? row.english
           : uiLanguage == kLangTraditional ? row.traditional
                                            : row.simplified;
}
// The waiting line's words before its seconds.
inline std::wstring WaitingPrefix(uint32_t uiLanguage) {
    const std::wstring line = TableText(kTextRetrying, uiLanguage);
    return line.substr(0, line.find(L"%d"));
}

class DialogTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { CreateSharedGdi(); }
    static void TearDownTestSuite() { DeleteSharedGdi(); }

    void SetUp() override { Open(1033); }
    void TearDown() override {
        dialog.reset();
        PumpMessages();
    }

    void Open(uint32_t uiLanguage) {
        dialog.reset();
        InstallSettings& settings = GetInstallSettings();
        settings.InstallDir.clear(); // the paths are computed afresh by each dialog
        settings.TempDir.clear();
        settings.UiLanguage = uiLanguage;
        dialog = std::make_unique<TOrvaneDlg>();
        dialog->Create();
        dialog->running = true;
        ShowWindow(dialog->hwnd, SW_SHOWNA);
        dialog->PlaceWindow();
        PumpMessages();
        Away();
    }

    LRESULT Send(UINT message, LPARAM lParam = 0, WPARAM wParam = 0) {
        return SendMessageW(dialog->hwnd, message, wParam, lParam);
    }
    // Presses Install with the attempts pointed at the test's own service, which accepts and never
    // answers: the first attempt's check connection is then up, awaiting the link's answer.
    void PressInstall() {
        DownloadAttempts::Setup setup;
        setup.address = "127.0.0.1";
        setup.port = service.port();
        dialog->attempts = std::make_unique<DownloadAttempts>(std::move(setup));
        dialog->OnButtonClick();
    }
    // A notification of the first attempt's clients, as they post it.
    LRESULT Notify(UINT message, LPARAM lParam = 0) { return Send(message, lParam, 1); }
    // After PressInstall: the module list announced with the test's service as the download server, so
    // that the download connection is up as well.
    void AnnounceModules() {
        InstallSettings& s = GetInstallSettings();
        std::memset(s.DownloadAddress, 0, sizeof s.DownloadAddress);
        std::strcpy(s.DownloadAddress, "127.0.0.1");
        s.DownloadPort = service.port();
        Notify(kNotifyModuleListDone);
    }
    // The end of the download (of an install started here, when none is under way), and the package
    // check that follows it on a worker, handled.
    void CompleteDownload() {
        if (dialog->attempts->phase() == DownloadAttempts::Phase::kReady) {
            PressInstall();
            AnnounceModules();
        }
        Notify(kNotifyDownloadDone);
        MSG msg;
        for (int i = 0; i < 1000; ++i) {
            if (PeekMessageW(&msg, dialog->hwnd, kPackageChecked, kPackageChecked, PM_REMOVE)) {
                DispatchMessageW(&msg);
                return;
            }
            Sleep(10);
        }
        ADD_FAILURE() << "the package check did not report";
    }
    // Puts the cursor on a client point and tells the dialog, as a real move would.
    void MoveTo(int x, int y) {
        POINT p{x, y};
        ClientToScreen(dialog->hwnd, &p);
        SetCursorPos(p.x, p.y);
        Send(WM_MOUSEMOVE, MAKELPARAM(x, y));
    }
    void MoveTo(POINT p) { MoveTo(p.x, p.y); }
    // The cursor far from the dialog.
    void Away() {
        SetCursorPos(5, 5);
        Send(WM_MOUSEMOVE, 0);
    }
    // True when a press posted the drag message; the message is taken off the queue.
    bool TakeDrag() {
        MSG msg;
        return PeekMessageW(&msg, dialog->hwnd, WM_NCLBUTTONDOWN, WM_NCLBUTTONDOWN, PM_REMOVE) != FALSE;
    }
    // The dialog's face with the progress bar drawn where its window sits, as the screen shows it.
    Snapshot Face() {
        Snapshot face = PrintClient(dialog->hwnd);
        HWND bar = dialog->progressBar ? dialog->progressBar->hwnd : nullptr;
        if (bar && IsWindowVisible(bar)) {
            Snapshot strip = PrintClient(bar);
            RECT r{};
            GetWindowRect(bar, &r);
            MapWindowPoints(nullptr, dialog->hwnd, reinterpret_cast<POINT*>(&r), 2);
            for (int y = 0; y < strip.height; ++y)
                for (int x = 0; x < strip.width; ++x) {
                    int fx = r.left + x, fy = r.top + y;
                    if (fx >= 0 && fy >= 0 && fx < face.width && fy < face.height)
                        face.pixels[size_t(fy) * face.width + fx] = strip.pixels[size_t(y) * strip.width + x];
                }
        }
        return face;
    }
    // Puts the bar where the button press puts it.
    void PlaceBar() {
        const RECT& r = dialog_face::kBarRect;
        MoveWindow(dialog->progressBar->hwnd, r.left, r.top, r.right - r.left, r.bottom - r.top, TRUE);
    }
    // The bar placed, at a position of its maximum.
    void ShowBar(int32_t position, int32_t maximum) {
        dialog->progressBar->position = position;
        dialog->progressBar->maximum = maximum;
        PlaceBar();
    }

    testpeer::Listener service; // outlives the dialog, whose connections it holds
    std::unique_ptr<TOrvaneDlg> dialog;
};
