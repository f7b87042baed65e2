#include "load/load_run.h"

#include "load/results.h"
#include "load/verify.h"
#include "load/worker.h"
#include "service/minisign_check.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <optional>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace load {
namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

volatile std::sig_atomic_t stopSignal = 0;

void OnStopSignal(int signal) {
    stopSignal = signal;
}

void Line(const std::string& text) {
    std::fprintf(stderr, "orvane-load: %s\n", text.c_str());
}

// Stop signals are held back but during the wait for the children (ppoll), so a stop is seen there
// and nowhere else; the children ignore them and die with their parent, or when it kills them.
class Signals {
  public:
    Signals() {
        sigset_t stop;
        sigemptyset(&stop);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            sigaddset(&stop, s);
        sigprocmask(SIG_BLOCK, &stop, &waitMask_);
        childMask_ = waitMask_;
        for (int s : {SIGINT, SIGTERM, SIGHUP}) {
            sigdelset(&waitMask_, s);
            struct sigaction action {};
            action.sa_handler = OnStopSignal;
            sigemptyset(&action.sa_mask);
            sigaction(s, &action, nullptr);
        }
        // A worker gone: its pipe says so (EPIPE), not a signal.
        std::signal(SIGPIPE, SIG_IGN);
    }
    const sigset_t& waitMask() const { return waitMask_; }
    const sigset_t& childMask() const { return childMask_; }

  private:
    sigset_t waitMask_{}, childMask_{};
};

void CloseFd(int& fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

struct Child {
    pid_t pid = -1;
    int commandFd = -1; // the parent's end: install numbers out
    int resultFd = -1;  // the parent's end: records in
    RecordReader reader;
    std::optional<uint32_t> install; // the one it runs now
    Clock::time_point installStart;
    Clock::time_point firstAt; // its first install waits until then (--ramp)
};

// Forks a child that runs `body(commandFd, resultFd)` with its own ends of two pipes, every other
// descriptor of the parent's closed. False when it could not.
bool Spawn(Child& child, const std::vector<int>& parentFds, const Signals& signals,
           const std::function<int(int, int)>& body) {
    int command[2], result[2];
    if (::pipe2(command, O_CLOEXEC) != 0)
        return false;
    if (::pipe2(result, O_CLOEXEC) != 0) {
        ::close(command[0]);
        ::close(command[1]);
        return false;
    }
    std::fflush(stdout);
    std::fflush(stderr);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(kExitFailed);
        for (int s : {SIGINT, SIGTERM, SIGHUP})
            std::signal(s, SIG_IGN);
        sigprocmask(SIG_SETMASK, &signals.childMask(), nullptr);
        for (int fd : parentFds)
            ::close(fd);
        ::close(command[1]);
        ::close(result[0]);
        ::_exit(body(command[0], result[1]));
    }
    ::close(command[0]);
    ::close(result[1]);
    if (pid < 0) {
        ::close(command[1]);
        ::close(result[0]);
        return false;
    }
    child.pid = pid;
    child.commandFd = command[1];
    child.resultFd = result[0];
    return true;
}

// Kills (when asked) and waits for a child; its descriptors closed.
void Reap(Child& child, bool kill) {
    CloseFd(child.commandFd);
    CloseFd(child.resultFd);
    if (child.pid < 0)
        return;
    if (kill)
        ::kill(child.pid, SIGKILL);
    int status = 0;
    while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
    }
    child.pid = -1;
}

uint32_t MillisSince(Clock::time_point start) {
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    return uint32_t(std::clamp<int64_t>(ms, 0, UINT32_MAX));
}

int PollTimeout(Clock::time_point until) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now()).count();
    return int(std::clamp<int64_t>(left, 0, 1000));
}

class Run {
  public:
    Run(const LoadOptions& options, Verification verification)
        : o_(options), verification_(std::move(verification)),
          service_(options.address + ":" + std::to_string(options.port)),
          deadline_(Clock::now() + std::chrono::seconds(options.timeoutSeconds)),
          tty_(::isatty(STDERR_FILENO) == 1) {}

    ~Run() {
        for (Child& c : children_)
            Reap(c, true);
        if (!root_.empty()) {
            std::error_code ec;
            fs::remove_all(root_, ec);
        }
    }

    int Go() {
        if (!MakeRoot())
            return kExitCannotRun;
        if (const int probe = Probe(); probe != kExitOk)
            return probe;
        return Load();
    }

  private:
    bool MakeRoot() {
        std::string pattern = (ScratchBase() / "orvane-load-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) {
            Line("cannot make a scratch folder in " + ScratchBase().string() + ": " + std::strerror(errno));
            return false;
        }
        root_ = pattern;
        return true;
    }

    WorkerSetup Setup(const std::string& folder) const {
        return WorkerSetup{o_.address, o_.port, o_.packageNo, root_ / folder, &verification_};
    }

    std::vector<int> OpenFds() const {
        std::vector<int> fds;
        for (const Child& c : children_)
            for (int fd : {c.commandFd, c.resultFd})
                if (fd >= 0)
                    fds.push_back(fd);
        return fds;
    }

    // One attempt as far as the module list, in a child of its own, before any load.
    int Probe() {
        const auto limit = std::min<Clock::duration>(60s, deadline_ - Clock::now());
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(limit);
        children_.emplace_back();
        Child& probe = children_.back();
        const WorkerSetup setup = Setup("probe");
        if (!Spawn(probe, {}, signals_, [&](int, int resultFd) { return ProbeMain(resultFd, setup, ms); })) {
            Line(std::string("cannot start a process: ") + std::strerror(errno));
            return kExitCannotRun;
        }
        std::optional<InstallResult> result;
        bool ended = false;
        while (!result && !ended) {
            if (stopSignal != 0) {
                Line("stopped before the load began");
                return kExitFailed;
            }
            if (Clock::now() >= deadline_ + 5s)
                break; // the probe keeps its own limit; this is only a safety net
            pollfd p{probe.resultFd, POLLIN, 0};
            const timespec wait{0, 200 * 1000 * 1000};
            if (::ppoll(&p, 1, &wait, &signals_.waitMask()) <= 0)
                continue;
            uint8_t buffer[512];
            const ssize_t n = ::read(probe.resultFd, buffer, sizeof buffer);
            if (n <= 0) {
                ended = n == 0 || errno != EINTR;
                continue;
            }
            probe.reader.Feed({buffer, size_t(n)});
            InstallResult r;
            if (probe.reader.Next(r) == RecordReader::Status::kRecord)
                result = std::move(r);
        }
        Reap(probe, !result);
        children_.clear();
        if (!result) {
            Line("the pre-flight check could not run");
            return kExitCannotRun;
        }
        return ProbeVerdict(*result);
    }

    int ProbeVerdict(const InstallResult& r) const {
        switch (r.cause) {
        case Cause::kNone:
            return kExitOk;
        case Cause::kUnreachable:
            Line(r.failMessage == 0 ? "nothing answers at " + service_
                                    : service_ + " ended the check before the module list");
            return kExitUnreachable;
        case Cause::kTimeout:
            Line("no module list from " + service_ + " within " + std::to_string(r.millis / 1000) + " s");
            return kExitUnreachable;
        case Cause::kRefused:
            Line(service_ + ": " + r.detail);
            return kExitRefused;
        case Cause::kNothingOffered:
            Line("package " + o_.packageNo + " is not on offer at " + service_ + " (code " +
                 std::to_string(r.failCode) + ")");
            return kExitNotOffered;
        default:
            Line("the pre-flight check failed: " + std::string(CauseName(r.cause)) +
                 (r.detail.empty() ? "" : ": " + r.detail));
            return kExitCannotRun;
        }
    }

    int Load() {
        const uint32_t workers = o_.installs != 0 ? std::min(o_.concurrency, o_.installs) : o_.concurrency;
        start_ = Clock::now();
        durationEnd_ = start_ + std::chrono::seconds(o_.durationSeconds);
        children_.reserve(workers);
        for (uint32_t i = 0; i < workers; ++i) {
            const std::vector<int> inherited = OpenFds();
            children_.emplace_back();
            Child& c = children_.back();
            c.firstAt = start_ + std::chrono::milliseconds(uint64_t(o_.rampSeconds) * 1000 * i / workers);
            const WorkerSetup setup = Setup("w" + std::to_string(i + 1));
            if (!Spawn(c, inherited, signals_,
                       [&](int commandFd, int resultFd) { return WorkerLoop(commandFd, resultFd, setup); })) {
                children_.pop_back();
                Line(std::string("cannot start a worker process: ") + std::strerror(errno));
                break;
            }
        }
        if (children_.empty())
            return kExitCannotRun;

        std::optional<Cause> stoppedBy;
        auto lastDraw = Clock::time_point{};
        for (;;) {
            const auto now = Clock::now();
            if (stopSignal != 0 || now >= deadline_) {
                stoppedBy = stopSignal != 0 ? Cause::kInterrupted : Cause::kTimeout;
                break;
            }
            for (Child& c : children_)
                HandOut(c, now);
            std::vector<pollfd> fds;
            std::vector<Child*> polled;
            for (Child& c : children_) {
                if (c.pid >= 0) {
                    fds.push_back({c.resultFd, POLLIN, 0});
                    polled.push_back(&c);
                }
            }
            if (fds.empty())
                break;
            if (tty_ && now - lastDraw >= 250ms) {
                Draw();
                lastDraw = now;
            }
            auto wake = std::min(deadline_, now + 250ms);
            for (const Child& c : children_)
                if (c.pid >= 0 && !c.install && c.commandFd >= 0)
                    wake = std::min(wake, std::max(now, c.firstAt));
            const int ms = PollTimeout(wake);
            const timespec wait{ms / 1000, long(ms % 1000) * 1000 * 1000};
            if (::ppoll(fds.data(), fds.size(), &wait, &signals_.waitMask()) <= 0)
                continue;
            for (size_t i = 0; i < fds.size(); ++i)
                if (fds[i].revents != 0)
                    Read(*polled[i]);
        }
        const auto end = Clock::now();
        if (stoppedBy) {
            for (Child& c : children_) {
                if (c.install)
                    Record(c, *stoppedBy,
                           stoppedBy == Cause::kTimeout ? "the run's time was up" : "the run was stopped");
                Reap(c, true);
            }
        }
        if (tty_)
            std::fputs("\r\033[K", stderr);

        RunFacts facts{service_, o_.packageNo, uint32_t(children_.size()),
                       std::chrono::duration<double>(end - start_).count()};
        const Summary summary = Summarize(facts, results_);
        const std::string text = o_.json ? SummaryJson(summary) : SummaryText(summary);
        std::fputs(text.c_str(), stdout);
        std::fflush(stdout);
        if (o_.installs != 0 && handedOut_ < o_.installs && !stoppedBy)
            Line("every worker ended; " + std::to_string(o_.installs - handedOut_) +
                 " installs were never run");
        const bool allGood = !stoppedBy && !results_.empty() && summary.failed == 0 &&
                             (o_.installs == 0 || summary.completed == o_.installs);
        return allGood ? kExitOk : kExitFailed;
    }

    bool MoreWork(Clock::time_point now) const {
        return o_.installs != 0 ? handedOut_ < o_.installs : now < durationEnd_;
    }

    void HandOut(Child& c, Clock::time_point now) {
        if (c.pid < 0 || c.install || c.commandFd < 0)
            return;
        if (!MoreWork(now)) {
            CloseFd(c.commandFd); // the worker ends at the end of its commands
            return;
        }
        if (now < c.firstAt)
            return;
        const uint32_t number = ++handedOut_;
        uint8_t command[4] = {uint8_t(number), uint8_t(number >> 8), uint8_t(number >> 16),
                              uint8_t(number >> 24)};
        c.install = number;
        c.installStart = now;
        if (::write(c.commandFd, command, sizeof command) != ssize_t(sizeof command)) {
            Record(c, Cause::kWorker, "the worker took no command");
            Reap(c, true);
        }
    }

    void Read(Child& c) {
        uint8_t buffer[4096];
        const ssize_t n = ::read(c.resultFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            return;
        if (n <= 0) {
            if (c.install)
                Record(c, Cause::kWorker, "the worker ended during the install");
            Reap(c, true);
            return;
        }
        c.reader.Feed({buffer, size_t(n)});
        for (;;) {
            InstallResult r;
            const auto status = c.reader.Next(r);
            if (status == RecordReader::Status::kNeedMore)
                return;
            if (status == RecordReader::Status::kBad || !c.install || r.number != *c.install) {
                if (c.install)
                    Record(c, Cause::kWorker, "the worker sent no readable record");
                Reap(c, true);
                return;
            }
            received_ += r.receivedBytes;
            (r.cause == Cause::kNone ? completed_ : failed_)++;
            results_.push_back(std::move(r));
            c.install.reset();
        }
    }

    // The install `c` runs ends here, with no record of its own.
    void Record(Child& c, Cause cause, const std::string& detail) {
        InstallResult r;
        r.number = *c.install;
        r.cause = cause;
        r.millis = MillisSince(c.installStart);
        r.detail = detail;
        results_.push_back(std::move(r));
        ++failed_;
        c.install.reset();
    }

    void Draw() const {
        uint32_t running = 0;
        for (const Child& c : children_)
            running += c.install ? 1 : 0;
        const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
        std::fprintf(stderr, "\r%s\033[K",
                     ProgressLine(completed_, failed_, running, elapsed, received_).c_str());
        std::fflush(stderr);
    }

    const LoadOptions& o_;
    const Verification verification_;
    const std::string service_;
    const Clock::time_point deadline_;
    const bool tty_;
    Signals signals_;
    fs::path root_;
    std::vector<Child> children_;
    std::vector<InstallResult> results_;
    Clock::time_point start_, durationEnd_;
    uint32_t handedOut_ = 0, completed_ = 0, failed_ = 0;
    uint64_t received_ = 0;
};

Result<std::vector<minisign::PublicKey>> ReadKey(const std::string& value) {
    std::string text = value;
    std::error_code ec;
    if (fs::is_regular_file(value, ec)) {
        std::ifstream in(value, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), {});
    }
    const auto key = minisign::ParsePublicKey(text);
    if (!key)
        return Error(ErrorKind::kInvalid,
                     "--public-key " + value + ": not a minisign public key or key file");
    return std::vector<minisign::PublicKey>{*key};
}

} // namespace

fs::path ScratchBase() {
    if (::access("/dev/shm", W_OK | X_OK) == 0)
        return "/dev/shm";
    const char* tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? fs::path(tmp) : fs::path("/tmp");
}

int RunLoad(const LoadOptions& options) {
    Verification verification;
    verification.packageNo = options.packageNo;
    if (!options.publicKey.empty()) {
        auto keys = ReadKey(options.publicKey);
        if (!keys) {
            Line(keys.error().message());
            return kExitUsage;
        }
        verification.keys = std::move(*keys);
    }
    if (!options.expectDir.empty()) {
        auto expected = LoadExpectedPackage(options.expectDir);
        if (!expected) {
            Line("--expect " + options.expectDir + ": " + expected.error().message());
            return kExitUsage;
        }
        verification.expect = std::move(*expected);
        if (verification.expect->packageNo != options.packageNo) {
            Line("--expect " + options.expectDir + " holds package " + verification.expect->packageNo +
                 ", not " + options.packageNo);
            return kExitUsage;
        }
    }
    Run run(options, std::move(verification));
    return run.Go();
}

} // namespace load
