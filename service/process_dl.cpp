#include "service/process_dl.h"

#include "core/install_log.h"
#include "core/printable.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "net/packet_codec.h"
#include "service/messages.h"
#include "service/notify.h"

#include <algorithm>

namespace {

// The tag of this client's log lines.
constexpr std::string_view kTag = "ProcessDL";

} // namespace

ProcessDL::~ProcessDL() {
    // No event may reach this object while its members go.
    Shutdown();
}

void ProcessDL::OnSilence() {
    Fail(LogEventText(kTag, "No answer Faile"), SilenceFault());
}

int ProcessDL::PendingCount() const {
    auto run = run_.Lock();
    return pendingCount_;
}

bool ProcessDL::Active() const {
    auto run = run_.Lock();
    return active_;
}

std::vector<ReceivedFile> ProcessDL::ReceivedFiles() const {
    auto run = run_.Lock();
    return writer_.ReceivedFiles();
}

std::vector<ReceivedModule> ProcessDL::ReceivedModules(size_t from) const {
    auto run = run_.Lock();
    if (from >= modules_.size())
        return {};
    return {modules_.begin() + std::ptrdiff_t(from), modules_.end()};
}

void ProcessDL::DownloadModule(const std::set<std::string>& have) {
    LogEvent("DownloadModule Need Request Module", "DownloadModule");
    auto refused = [this] {
        auto run = run_.Lock();
        return run.ended() || requested_;
    };
    if (refused()) {
        // One request per run: the dialog asks once, and a run that ended asks nothing more.
        LogEvent(kTag, "DownloadModule ignored");
        return;
    }
    std::vector<messages::DownloadItem> items;
    for (const ModuleRecord& m : GetModuleList()) {
        if (m.State == 'D' || have.count(std::string(m.Name())) != 0)
            continue;
        messages::DownloadItem item{std::string(m.Package().substr(0, 10)),
                                    std::string(m.Name().substr(0, 50)), m.ModuleVerA, m.ModuleVerB};
        char line[1024];
        std::snprintf(line, sizeof line, "%c--%d_%d----%s", m.State, int32_t(m.ModuleVerA),
                      int32_t(m.ModuleVerB), item.ModuleName.c_str());
        WriteLog(line);
        items.push_back(std::move(item));
    }
    {
        // Complete before the first request leaves, so no response can find them unset; answers
        // count only from here.
        auto run = run_.Lock();
        if (run.ended())
            return;
        for (const auto& item : items)
            pendingModules_.push_back(item.ModuleName);
        pendingCount_ = int(pendingModules_.size());
        requested_ = true;
        watchdog_.Arm();
    }
    // More modules than one packet carries go out in several requests. The bound is what the
    // compressor accepts (about 1665 records), below the 1770 that fit the message limit: a longer
    // request would not be sent at all.
    size_t perRequest =
        std::min(messages::kMaxDownloadRecords,
                 (MaxEncodableMessage() - messages::kHeaderSize) / messages::kDownloadReqSize);
    for (const auto& request : messages::EncodeFileDownloadRequests(items, perRequest))
        SendRequest(request);
    LogEvent(kTag, "DownloadModule");
}

void ProcessDL::OnMessage(const uint8_t* msg, size_t len) {
    if (messages::PeekType(msg, len) != messages::kFileDownloadRsp)
        return;
    bool ended, early;
    {
        auto run = run_.Lock();
        ended = run.ended();
        early = !requested_;
    }
    // Neither kind may count a module: an early answer would complete a download never asked for, a
    // late one would write into a folder the install has already moved on from.
    if (ended) {
        LogEvent(kTag, "ZynPublish_L_FileDownload_Rsp after the end ignored");
        return;
    }
    if (early) {
        LogEvent(kTag, "ZynPublish_L_FileDownload_Rsp before the request ignored");
        return;
    }
    // There is no offset in a chunk: a dropped message would silently corrupt the file it belongs to,
    // so a response that lies about its records fails the download instead.
    if (!messages::DecodeFileDownloadResponse(msg, len, response_)) {
        Fail(LogEventText(kTag, "Malformed ZynPublish_L_FileDownload_Rsp Faile"));
        return;
    }
    // The service refuses the download, or ends it because the package changed under it, and closes:
    // the code is worth a line, and another attempt asks again of whatever is on offer then.
    if (response_.ErrorCode != 0) {
        Fail(LogEventText(kTag, "ZynPublish_L_FileDownload_Rsp ErrorCode " +
                                    std::to_string(response_.ErrorCode) + " Faile"),
             Fault::kTransport);
        return;
    }
    for (const messages::FileChunk& chunk : response_.Chunks) {
        if (const Status written = WriteChunk(chunk); !written) {
            if (written.error().kind() != ErrorKind::kCancelled)
                Fail(LogEventText(kTag, written.error().message() + " Faile"));
            return;
        }
    }
    CheckComplete();
}

Status ProcessDL::WriteChunk(const messages::FileChunk& chunk) {
    // Names and folders first, outside the lock: on Windows a folder that cannot be made shows a
    // message box.
    if (Status placed = writer_.Place(GetInstallSettings().TempDir, chunk); !placed)
        return placed;
    const LocalPath& path = writer_.Path();
    bool moduleDone = false;
    {
        auto run = run_.Lock();
        if (run.ended())
            return Error(ErrorKind::kCancelled, "stopped"); // not a byte more
        bool written = writer_.Append(path, chunk.Data).ok();
        if (written && (moduleEntries_.empty() || moduleEntries_.back() != writer_.OpenEntry()))
            moduleEntries_.push_back(writer_.OpenEntry());
        if (written && chunk.ModuleEnd) {
            auto it = std::find(pendingModules_.begin(), pendingModules_.end(), chunk.ModuleName);
            if (it != pendingModules_.end()) {
                // A module counts as done only once its bytes have reached the system.
                written = writer_.Flush().ok();
                if (written) {
                    ReceivedModule module{std::string(chunk.ModuleName), {}};
                    for (size_t entry : moduleEntries_)
                        module.files.push_back(writer_.ReceivedFiles()[entry]);
                    modules_.push_back(std::move(module));
                    pendingModules_.erase(it);
                    --pendingCount_;
                    NotifyFileDone(attempt_);
                    moduleDone = true;
                }
            }
            moduleEntries_.clear();
        }
        if (!written) {
            run.End();
            writer_.Discard();
            return Error(ErrorKind::kIo, "Write " + Printable(writer_.PathText()));
        }
    }
    if (moduleDone)
        WriteLog(writer_.PathText());
    return Ok();
}

void ProcessDL::CheckComplete() {
    bool complete = false;
    {
        auto run = run_.Lock();
        if (run.ended())
            return;
        if (pendingCount_ != 0 || !active_) {
            watchdog_.Arm(); // more chunks are due
            return;
        }
        watchdog_.Disarm(); // after the download the connection idles
        if (writer_.Close()) {
            active_ = false;
            run.Claim(RunState::Outcome::kComplete);
            NotifyDownloadDone(attempt_);
            complete = true;
        } else {
            run.End();
        }
    }
    if (complete)
        LogEvent("ProcessCheck", "ZynPublish_L_FileDownload_Rsp");
    else
        Fail(LogEventText(kTag, "Write " + Printable(writer_.PathText()) + " Faile"));
}

void ProcessDL::OnClientDisconnect(const char*, int) {
    bool report;
    {
        auto run = run_.Lock();
        writer_.Close(); // what was written stays: modules received whole are not asked for again
        report = run.Claim(RunState::Outcome::kFailed);
    }
    if (!report) {
        // The run already has its outcome (complete, or a failure the interface was told of).
        LogEvent(kTag, "OnClientDisconnect after the end");
        return;
    }
    NotifyDLLost(attempt_);
    LogEvent(kTag, "OnClientDisconnect Faile");
}

void ProcessDL::OnLogin(uint32_t error, const uint8_t*, size_t) {
    if (error == 0)
        return;
    watchdog_.Disarm();
    {
        auto run = run_.Lock();
        if (!run.Claim(RunState::Outcome::kFailed))
            return;
        NotifyLoginRefused(attempt_);
    }
    LogEvent(kTag, "OnLogin Faile");
}

void ProcessDL::OnAuthentLink(uint32_t error) {
    watchdog_.Disarm(); // the interface decides what comes next
    {
        auto run = run_.Lock();
        if (run.ended())
            return;
        // A refused link is this run's failure: the interface shows it, and nothing more follows.
        if (error != 0)
            run.Claim(RunState::Outcome::kFailed);
        NotifyDLAuthentLink(error, attempt_);
    }
    LogEvent(kTag, error == 0 ? "OnAuthentLink Success" : "OnAuthentLink Faile");
}
