// The owner of an install's attempts at the check and the download. One attempt is one connection
// sequence: link authentication, login, update check and module check at the check service, then the
// download server it names, asked for only the modules not yet received whole. A transport fault (a
// connect that fails, a connection lost, closed or silent, a download the service refuses or ends)
// ends the attempt, not the install: the next one starts after a wait (service/retry_backoff.h), and
// after kMaxFailedInARow attempts in a row that each ended without a whole module the install fails.
// The service's own answers (a refused link or login, nothing on offer) and faults that would only
// repeat (bytes that break the protocol, a path that may not be written, a file that cannot be) are
// final at once.
//
// Modules received whole stay in the download folder and in the merged list of received files; the
// interrupted module starts over. When a later attempt is offered another version, or another module
// list, the folder is emptied (but for its log) and the download starts over: never a mix of versions.
//
// Threads: the interface thread only. The clients' receive threads reach it through the notification
// seam; each notification carries its attempt (the wParam), and one of an attempt that is over is
// ignored. No thread of its own: time is read from the injected clock and Tick() starts the next
// attempt once the wait is over. The clients of an attempt are stopped when it ends and released
// (threads joined) when the next one begins, or when this object goes.
#pragma once

#include "net/timer_clock.h"
#include "service/process_check.h"
#include "service/process_dl.h"
#include "service/retry_backoff.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class DownloadAttempts {
  public:
    static constexpr int kMaxFailedInARow = 8;

    struct Setup {
        std::string address; // the check service
        uint32_t port = 0;
        TimerClock* clock = nullptr;          // null: the steady clock
        std::function<double()> spread;       // the back-off's spread (tests fix it); empty: random
        std::function<void()> beforeDownload; // runs before each download connects
        std::function<void(ProcessClient&)> onNewClient; // each client made, before it connects
    };

    // What the interface shows after a call.
    enum class Event {
        kNone,     // nothing new
        kProgress, // an attempt moved on: ModulesDone() and ModulesTotal() may have changed
        kWaiting,  // the attempt failed; the next begins in WaitLeft()
        kDone,     // every module is whole: ReceivedFiles() is what the download wrote
        kFailed,   // the install failed: FailureMessage() and FailureCode() say how
    };
    enum class Phase { kReady, kChecking, kDownloading, kWaiting, kDone, kFailed };

    explicit DownloadAttempts(Setup setup);
    ~DownloadAttempts();
    DownloadAttempts(const DownloadAttempts&) = delete;
    DownloadAttempts& operator=(const DownloadAttempts&) = delete;

    // Begins the first attempt (once; later calls do nothing).
    Event Start();
    // A client's notification (message, wParam, lParam as posted).
    Event OnNotify(uint32_t message, uintptr_t attempt, intptr_t lParam);
    // While waiting: begins the next attempt once the wait is over.
    Event Tick();
    // The user gave up: every connection closed, nothing more happens; the install is failed.
    void Cancel();

    Phase phase() const { return phase_; }
    bool Waiting() const { return phase_ == Phase::kWaiting; }
    int attempt() const { return int(attempt_); }
    int FailedInARow() const { return failedInARow_; }
    int ModulesDone() const { return int(whole_.size()); }
    int ModulesTotal() const { return modulesTotal_; }
    // Time left of the wait (0 when not waiting); whole seconds, rounded up, for the status line.
    std::chrono::milliseconds WaitLeft() const;
    int SecondsLeft() const;
    // How a failed install ended: the notification that ended it (kNotifyNothingOffered carries the
    // service's code) or 0 when the attempts gave out or the user cancelled.
    uint32_t FailureMessage() const { return failMessage_; }
    int32_t FailureCode() const { return failCode_; }
    // The files of every module received whole, each path once (its latest size), module by module.
    std::vector<ReceivedFile> ReceivedFiles() const;

  private:
    // The offer the whole modules came from: a later attempt's must match, or the download starts over.
    struct Offer {
        uint32_t verPart3 = 0, verPart4 = 0;
        std::vector<std::string> modules; // name, versions and state of each record
        bool operator==(const Offer&) const = default;
    };

    Event BeginAttempt();
    Event OnModuleDL();
    Event RequestModules();
    // Moves the modules the download client finished into the merged list.
    void TakeModules();
    // The attempt's client reported its failure: final or transport, as the client says.
    Event ClientFailed(const ProcessClient* client, uint32_t message, const std::string& what);
    // A transport fault: wait for the next attempt, or give up.
    Event Fault(const std::string& what);
    Event Final(uint32_t message, int32_t code);
    // Closes the attempt's connections (reports arrive, and are ignored); threads stay until released.
    void StopClients();
    // Stops and joins every client made so far.
    void ReleaseClients();
    TimerClock& clock() const;
    std::string AttemptText() const;

    Setup setup_;
    RetryBackoff backoff_;
    Phase phase_ = Phase::kReady;
    uintptr_t attempt_ = 0;
    int failedInARow_ = 0;
    bool moduleThisAttempt_ = false;
    bool checkConnected_ = false;
    bool stopping_ = false;     // StopClients is closing connections: their loss reports are expected
    bool dlConnecting_ = false; // in the download's Connect: a loss reported now is a failed connect
    TimerClock::TimePoint nextAt_{};

    std::unique_ptr<ProcessCheck> check_;
    std::unique_ptr<ProcessDL> dl_;
    std::vector<std::unique_ptr<ProcessClient>> stopped_; // of ended attempts, released at the next
    size_t takenFromDl_ = 0;                              // dl_'s modules already merged

    std::optional<Offer> offer_;
    std::set<std::string> whole_;
    std::vector<ReceivedModule> merged_;
    int modulesTotal_ = 0;
    uint32_t failMessage_ = 0;
    int32_t failCode_ = 0;
};
