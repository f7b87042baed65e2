// The main dialog: four states, the notifications of the service clients and the install sequence, and
// the painted face with its mouse handling. Interface thread only; the clients reach it only through
// messages to notifyWindow.
#pragma once

#include "app/exit_codes.h"
#include "install/downloaded_package_check.h"
#include "service/download_attempts.h"
#include "ui/cursor_monitor.h"
#include "ui/modal_wnd.h"
#include "ui/process_bar.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

// Posted by the package check when it has a result.
constexpr UINT kPackageChecked = WM_USER + 120;
// The timer that counts down the wait before the next attempt.
constexpr UINT_PTR kRetryTimer = 1;
// Posted to itself by a quiet install once it has ended, so that the loop ends outside any handler.
constexpr UINT kQuietEnd = WM_USER + 121;

enum DialogState : int32_t { Ready = 0, Updating = 1, Failed = 2, Done = 3 };

// The check service's port; its address is a deployment setting compiled in.
constexpr uint32_t kServicePort = 31711;
const char* ServiceAddress();

// Percentage shown while updating: never 100, and 0 with nothing to count.
int ProgressPercent(int32_t doneCount, int32_t totalCount);

class TOrvaneDlg : public TModalWnd {
  public:
    TOrvaneDlg();
    ~TOrvaneDlg() override;

    LRESULT WndProc(UINT message, WPARAM wParam, LPARAM lParam) override;
    void OnCreate() override;
    void PlaceWindow() override;
    void OnDrawContent(TMemDC& dc) override;
    void EndModal() override;

    // Notification handlers and the button's action.
    void OnButtonClick();
    void OnDLAuthentLink(int32_t errorCode);
    void OnFileDone();
    void OnDownloadComplete();
    void OnPackageChecked();
    void ShowFailure(const char* text);
    void OnClientLost();
    // The attempts' waiting state: the status line counts down, the close glyph works.
    void OnWaiting();
    void OnRetryTimer();
    bool Waiting() const { return attempts && attempts->Waiting(); }

    // An install nobody watches (/quiet): the window is never shown, the install starts at once and the
    // dialog ends by itself; RunQuiet returns the exit code (app/exit_codes.h). launchWhenDone starts the
    // terminal at the end, as the Open button would.
    InstallerExit RunQuiet();
    bool quiet = false;
    bool launchWhenDone = false;
    InstallerExit exitCode = kExitInstalled; // how a failure ended, for a quiet install's exit code

    // The attempts at the check and the download; made in OnCreate (tests may replace it before the
    // button is pressed).
    std::unique_ptr<DownloadAttempts> attempts;
    int32_t doneCount = 0;
    int32_t totalCount = 0;
    std::unique_ptr<PackageCheckWorker> packageCheck; // the download is complete once this exists
    std::unique_ptr<TProcess> progressBar;
    std::wstring statusText;
    std::wstring waitText; // the status line while waiting for the next attempt
    RECT statusRect{};
    RECT buttonRect{};
    RECT busyTextRect{};
    int32_t state = Ready;
    bool buttonHover = false;

    // Where PlaceWindow finds the display under the cursor; tests describe other displays here.
    std::function<void(RECT&)> findCursorMonitor = [](RECT& rect) { FindCursorMonitor(rect); };

  protected:
    void PaintFace(TMemDC& dc) override;

  private:
    LRESULT OnNotify(UINT message, WPARAM wParam, LPARAM lParam);
    // Shows what the attempts report.
    void Apply(DownloadAttempts::Event event);
    void OnAttemptsFailed();
    // The waiting line with the seconds left now, in UTF-16.
    std::wstring WaitingLine() const;
    // A quiet install has its outcome: the loop ends once the message is taken.
    void EndQuietly();
    void Layout();
    void OnMouseMove();
    void OnPress(WPARAM wParam, LPARAM lParam);
    void OnRelease();
    void DrawButton(HDC dc);
    void RepaintNow();
    // The close glyph's rectangle for a client width.
    RECT GlyphRect(int width) const;
};
