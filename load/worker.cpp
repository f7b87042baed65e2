#include "load/worker.h"

#include "load/exit_status.h"

#include "core/install_settings.h"
#include "core/module_list.h"
#include "core/wide_path.h"
#include "core/wire.h"
#include "service/download_attempts.h"
#include "service/local_fs.h"
#include "service/notify.h"
#include "service/notify_queue.h"

#include <algorithm>
#include <cerrno>
#include <unistd.h>

namespace load {
namespace fs = std::filesystem;
using Phase = DownloadAttempts::Phase;
using namespace std::chrono_literals;

namespace {

// The attempts of one install with the notification queue they report to, as the dialog holds them.
class Install {
  public:
    explicit Install(const WorkerSetup& setup) {
        InstallSettings& s = GetInstallSettings();
        s = InstallSettings{};
        s.PackageNo = setup.packageNo;
        s.TempDir = WidePathFromBytes(setup.folder.string());
        GetModuleList().clear();
        DownloadAttempts::Setup attemptsSetup;
        attemptsSetup.address = setup.address;
        attemptsSetup.port = setup.port;
        attemptsSetup.beforeDownload = [this] { listSeen_ = true; };
        attemptsSetup.onNewClient = [this](ProcessClient& client) {
            if (auto* dl = dynamic_cast<ProcessDL*>(&client))
                downloads_.push_back(dl);
        };
        attempts_ = std::make_unique<DownloadAttempts>(std::move(attemptsSetup));
    }
    // The attempts go first, while the queue still takes their clients' last reports.
    ~Install() { attempts_.reset(); }

    DownloadAttempts& attempts() { return *attempts_; }
    bool ListSeen() const { return listSeen_; }

    // Pumps until the phase is one of `until` or `limit` has passed; a wait between attempts is
    // waited out, the next attempt begun by Tick as the dialog's timer would.
    bool RunUntil(std::initializer_list<Phase> until, std::chrono::steady_clock::time_point limit) {
        auto reached = [&] {
            return std::find(until.begin(), until.end(), attempts_->phase()) != until.end();
        };
        while (!reached()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= limit)
                return false;
            auto slice = std::chrono::duration_cast<std::chrono::milliseconds>(limit - now);
            if (attempts_->Waiting()) {
                Harvest(); // the next attempt releases this one's clients
                attempts_->Tick();
                if (attempts_->Waiting()) {
                    // Late reports of the attempt that ended are taken (and ignored) meanwhile.
                    slice = std::min(
                        {slice, std::max<std::chrono::milliseconds>(1ms, attempts_->WaitLeft()), 100ms});
                    queue_.PumpUntil([] { return false; }, slice);
                    continue;
                }
            }
            queue_.PumpUntil([&] { return reached() || attempts_->Waiting(); }, std::min(slice, 100ms));
        }
        return true;
    }

    // Adds the file bytes of the download clients whose attempt is over: they are released when the
    // next attempt begins, or with the attempts.
    void Harvest() {
        for (const ProcessDL* dl : downloads_)
            for (const ReceivedFile& f : dl->ReceivedFiles())
                received_ += f.size;
        downloads_.clear();
    }
    uint64_t Received() const { return received_; }

    // Stops and joins every client; what they wrote is closed.
    void Release() {
        attempts_->Cancel();
        Harvest();
        attempts_.reset();
    }

  private:
    bool listSeen_ = false;
    std::vector<const ProcessDL*> downloads_;
    uint64_t received_ = 0;
    std::unique_ptr<DownloadAttempts> attempts_;
    NotifyQueue queue_{NotifyQueue::FullHandler([this](uint32_t message, uintptr_t attempt, intptr_t lParam) {
        if (attempts_)
            attempts_->OnNotify(message, attempt, lParam);
    })};
};

uint32_t MillisSince(std::chrono::steady_clock::time_point start) {
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    return uint32_t(std::min<int64_t>(ms.count(), UINT32_MAX));
}

// Why the attempts failed, in the load's causes.
void TakeFailure(DownloadAttempts& attempts, bool listSeen, InstallResult& r) {
    r.failMessage = attempts.FailureMessage();
    r.failCode = attempts.FailureCode();
    switch (r.failMessage) {
    case kNotifyCheckAuthRefused:
        r.cause = Cause::kRefused;
        r.detail = "the check service refused the link";
        break;
    case kNotifyLoginRefused:
        r.cause = Cause::kRefused;
        r.detail = "the check service refused the login";
        break;
    case kNotifyDLAuthentLink:
        r.cause = Cause::kRefused;
        r.detail = "the download service refused the link, code " + std::to_string(r.failCode);
        break;
    case kNotifyNothingOffered:
        r.cause = Cause::kNothingOffered;
        r.detail = "code " + std::to_string(r.failCode);
        break;
    case kNotifyDLLost:
        r.cause = Cause::kDownload;
        r.detail = "the download failed for good";
        break;
    default:
        r.cause = listSeen ? Cause::kDownload : Cause::kUnreachable;
        r.detail = r.failMessage == 0 ? "gave up after " + std::to_string(attempts.attempt()) + " attempts"
                                      : "the check failed for good";
        break;
    }
}

} // namespace

bool EmptyFolder(const fs::path& folder) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    for (const auto& entry : fs::directory_iterator(folder, ec))
        fs::remove_all(entry.path(), ec);
    return fs::is_directory(folder, ec) && fs::is_empty(folder, ec);
}

InstallResult RunInstall(const WorkerSetup& setup, uint32_t number) {
    InstallResult r;
    r.number = number;
    if (!EmptyFolder(setup.folder)) {
        r.cause = Cause::kWorker;
        r.detail = "cannot empty " + setup.folder.string();
        return r;
    }
    const auto start = std::chrono::steady_clock::now();
    bool done = false;
    std::vector<ReceivedFile> files;
    uint32_t verPart3 = 0, verPart4 = 0;
    {
        Install install(setup);
        DownloadAttempts& attempts = install.attempts();
        attempts.Start();
        // No limit of its own: the parent ends a run whose time is up.
        install.RunUntil({Phase::kDone, Phase::kFailed}, std::chrono::steady_clock::time_point::max());
        r.millis = MillisSince(start);
        r.attempts = uint32_t(attempts.attempt());
        done = attempts.phase() == Phase::kDone;
        if (done) {
            files = attempts.ReceivedFiles();
            const ModuleList& list = GetModuleList();
            const auto wanted =
                std::count_if(list.begin(), list.end(), [](const ModuleRecord& m) { return m.State != 'D'; });
            if (attempts.ModulesDone() != int(wanted)) {
                done = false;
                r.cause = Cause::kVerify;
                r.detail = std::to_string(attempts.ModulesDone()) + " of " + std::to_string(wanted) +
                           " modules whole";
            }
            verPart3 = GetInstallSettings().NewVerPart3;
            verPart4 = GetInstallSettings().NewVerPart4;
        } else {
            TakeFailure(attempts, install.ListSeen(), r);
        }
        install.Release();
        r.receivedBytes = install.Received();
    }
    for (const ReceivedFile& f : files)
        r.packageBytes += f.size;
    if (done && setup.verification != nullptr) {
        const VerifyOutcome outcome = VerifyDownload(*setup.verification, setup.folder, verPart3, verPart4);
        r.verified = outcome.verified;
        if (!outcome.status) {
            r.cause = Cause::kVerify;
            r.detail = outcome.status.error().message();
        }
    }
    if (!EmptyFolder(setup.folder) && r.cause == Cause::kNone) {
        r.cause = Cause::kWorker;
        r.detail = "cannot empty " + setup.folder.string();
    }
    return r;
}

InstallResult RunProbe(const WorkerSetup& setup, std::chrono::milliseconds limit) {
    InstallResult r;
    if (!EmptyFolder(setup.folder)) {
        r.cause = Cause::kWorker;
        r.detail = "cannot empty " + setup.folder.string();
        return r;
    }
    const auto start = std::chrono::steady_clock::now();
    {
        Install install(setup);
        DownloadAttempts& attempts = install.attempts();
        // A connect that fails ends the attempt at once: nothing listens there.
        const bool connected = attempts.Start() != DownloadAttempts::Event::kWaiting;
        const bool ended = install.RunUntil(
            {Phase::kDownloading, Phase::kWaiting, Phase::kDone, Phase::kFailed}, start + limit);
        r.millis = MillisSince(start);
        r.attempts = 1;
        if (!ended) {
            r.cause = Cause::kTimeout;
        } else if (attempts.phase() == Phase::kWaiting) {
            r.cause = Cause::kUnreachable;
            r.failMessage = connected ? uint32_t(kNotifyCheckLost) : 0;
        } else if (attempts.phase() == Phase::kFailed) {
            TakeFailure(attempts, install.ListSeen(), r);
        }
        install.Release();
    }
    EmptyFolder(setup.folder);
    return r;
}

namespace {

// All `size` bytes through `step` (a read or a write of what is left, given what is done), across
// interrupted calls; false at the pipe's end or on an error.
template <typename Step> bool Whole(size_t size, Step step) {
    for (size_t done = 0; done < size;) {
        const ssize_t n = step(done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += size_t(n);
    }
    return true;
}

bool ReadAll(int fd, uint8_t* data, size_t size) {
    return Whole(size, [&](size_t done) { return ::read(fd, data + done, size - done); });
}

bool WriteAll(int fd, const uint8_t* data, size_t size) {
    return Whole(size, [&](size_t done) { return ::write(fd, data + done, size - done); });
}

bool SendRecord(int fd, const InstallResult& r) {
    const std::vector<uint8_t> record = EncodeRecord(r);
    return WriteAll(fd, record.data(), record.size());
}

} // namespace

int WorkerLoop(int commandFd, int resultFd, const WorkerSetup& setup) {
    // Nobody watches a worker: a folder that cannot be made fails the install, not a line on the screen.
    SetFolderAlertsShown(false);
    uint8_t command[4];
    while (ReadAll(commandFd, command, sizeof command)) {
        if (!SendRecord(resultFd, RunInstall(setup, wire::LoadU32(command))))
            return kExitFailed;
    }
    return kExitOk;
}

int ProbeMain(int resultFd, const WorkerSetup& setup, std::chrono::milliseconds limit) {
    SetFolderAlertsShown(false);
    return SendRecord(resultFd, RunProbe(setup, limit)) ? kExitOk : kExitFailed;
}

} // namespace load
