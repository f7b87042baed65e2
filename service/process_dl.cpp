#include "service/process_dl.h"

#include "app/install_log.h"
#include "app/install_settings.h"
#include "app/module_list.h"
#include "service/local_fs.h"
#include "net/packet_codec.h"
#include "net/packet_io.h"
#include "service/messages.h"
#include "service/notify.h"
#include "service/path_folders.h"
#include "service/path_policy.h"

#include <algorithm>

namespace {

// Every publishing request goes out as one type '6' packet under the session's send key.
void SendRequest(ProcessClient& client, const std::vector<uint8_t>& request) {
    if (client.context)
        SendPacket(*client.context, request.data(), int32_t(request.size()), '6');
}

// "%s\%s%s" into a 255-byte buffer: the path and its NUL must fit.
constexpr size_t kMaxLocalPath = 254;
constexpr size_t kWriteBuffer = 1 << 20;

// Hostile names end up in the log; keep the log one line per event.
std::string Printable(std::string_view text) {
    std::string out(text);
    for (char& ch : out)
        if (uint8_t(ch) < 0x20 || ch == 0x7F)
            ch = '?';
    return out;
}

} // namespace

bool IsSafeDownloadPath(std::string_view relDir, std::string_view fileName, const char** why) {
    // The same rule as for archive entries: one place decides what may be written below a folder.
    const char* reason = fileName.empty()
                             ? "empty file name"
                             : path_policy::RefuseRelativePath(std::string(relDir) + std::string(fileName));
    if (why && reason)
        *why = reason;
    return reason == nullptr;
}

ProcessDL::~ProcessDL() {
    // No event may reach this object while its members go.
    watchdog_.Stop();
    Shutdown();
}

bool ProcessDL::Connect() {
    watchdog_.Arm(); // before: the answer may arrive before Connect returns
    bool connected = ProcessClient::Connect();
    if (!connected)
        watchdog_.Disarm();
    return connected;
}

void ProcessDL::OnSilence() {
    FailDownload("ProcessDL\xa3\xba"
                 "No answer Faile");
}

int ProcessDL::PendingCount() const {
    std::lock_guard guard(lock_);
    return pendingCount_;
}

bool ProcessDL::Active() const {
    std::lock_guard guard(lock_);
    return active_;
}

void ProcessDL::DownloadModule() {
    WriteLog("DownloadModule Need Request Module\xa3\xba"
             "DownloadModule");
    std::vector<messages::DownloadItem> items;
    for (const ModuleRecord& m : GetModuleList()) {
        if (m.State == 'D')
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
        // Complete before the first request leaves, so no response can find them unset.
        std::lock_guard guard(lock_);
        for (const auto& item : items)
            pendingModules_.push_back(item.ModuleName);
        pendingCount_ = int(pendingModules_.size());
    }
    watchdog_.Arm();
    // More modules than one packet carries go out in several requests. The bound is what the
    // compressor accepts (about 1665 records), below the 1770 that fit the message limit: a longer
    // request would not be sent at all.
    size_t perRequest =
        std::min(messages::kMaxDownloadRecords,
                 (MaxEncodableMessage() - messages::kHeaderSize) / messages::kDownloadReqSize);
    for (const auto& request : messages::EncodeFileDownloadRequests(items, perRequest))
        SendRequest(*this, request);
    WriteLog("ProcessDL\xa3\xba"
             "DownloadModule");
}

void ProcessDL::OnMessage(const uint8_t* msg, size_t len) {
    if (messages::PeekType(msg, len) != messages::kFileDownloadRsp)
        return;
    {
        std::lock_guard guard(lock_);
        if (failed_)
            return;
    }
    // There is no offset in a chunk: a dropped message would silently corrupt the file it belongs to,
    // so a response that lies about its records fails the download instead.
    if (!messages::DecodeFileDownloadResponse(msg, len, response_)) {
        FailDownload("ProcessDL\xa3\xba"
                     "Malformed ZynPublish_L_FileDownload_Rsp Faile");
        return;
    }
    const std::string& tempDir = GetInstallSettings().TempDir;
    for (const messages::FileChunk& chunk : response_.Chunks) {
        if (lastPath_.empty() || chunk.RelDir != lastRelDir_ || chunk.FileName != lastFileName_ ||
            tempDir != lastTempDir_) {
            const char* why = "";
            if (!IsSafeDownloadPath(chunk.RelDir, chunk.FileName, &why)) {
                FailDownload("ProcessDL\xa3\xba"
                             "Unsafe path (" +
                             std::string(why) + ") " + Printable(chunk.RelDir) + Printable(chunk.FileName) +
                             " Faile");
                return;
            }
            std::string path = tempDir + "\\" + std::string(chunk.RelDir) + std::string(chunk.FileName);
            if (path.size() > kMaxLocalPath) {
                FailDownload("ProcessDL\xa3\xba"
                             "Path too long " +
                             Printable(path) + " Faile");
                return;
            }
            // Folders first, outside the lock: on Windows a failure shows a message box.
            const std::string folder = path.substr(0, path.rfind('\\') + 1);
            if (folder != madeFolder_) {
                CreatePathFolders(path);
                madeFolder_ = folder;
            }
            lastTempDir_ = tempDir;
            lastRelDir_ = chunk.RelDir;
            lastFileName_ = chunk.FileName;
            lastPath_ = std::move(path);
        }
        const std::string& path = lastPath_;

        Outcome outcome = Outcome::kWritten;
        {
            std::lock_guard guard(lock_);
            if (failed_)
                return;
            if (path != currentPath_) {
                currentFile_.reset();
                currentFile_.reset(LocalOpenFile(path, "wb"));
                // Chunks are about 1 KB each: a large buffer turns them into few big writes.
                if (currentFile_) {
                    if (!writeBuffer_)
                        writeBuffer_ = std::make_unique<char[]>(kWriteBuffer);
                    std::setvbuf(currentFile_.get(), writeBuffer_.get(), _IOFBF, kWriteBuffer);
                }
                currentPath_ = path;
            }
            if (!currentFile_) {
                outcome = Outcome::kFailed;
            } else if (!chunk.Data.empty() && std::fwrite(chunk.Data.data(), 1, chunk.Data.size(),
                                                          currentFile_.get()) != chunk.Data.size()) {
                outcome = Outcome::kFailed;
            } else if (chunk.ModuleEnd) {
                auto it = std::find(pendingModules_.begin(), pendingModules_.end(), chunk.ModuleName);
                if (it != pendingModules_.end()) {
                    pendingModules_.erase(it);
                    --pendingCount_;
                    outcome = Outcome::kModuleDone;
                }
            }
        }
        if (outcome == Outcome::kFailed) {
            FailDownload("ProcessDL\xa3\xba"
                         "Write " +
                         Printable(path) + " Faile");
            return;
        }
        if (outcome == Outcome::kModuleDone) {
            PostNotify(kNotifyFileDone, 0);
            WriteLog(path);
        }
    }

    bool complete = false, awaiting = false;
    {
        std::lock_guard guard(lock_);
        if (pendingCount_ == 0 && active_ && !failed_) {
            currentFile_.reset();
            currentPath_.clear();
            active_ = false;
            complete = true;
        }
        awaiting = active_ && !failed_;
    }
    // More chunks are due only while the download is unfinished; after it the connection idles.
    if (awaiting)
        watchdog_.Arm();
    else
        watchdog_.Disarm();
    if (complete) {
        PostNotify(kNotifyDownloadDone, 0);
        WriteLog("ProcessCheck\xa3\xba"
                 "ZynPublish_L_FileDownload_Rsp");
    }
}

void ProcessDL::FailDownload(const std::string& why) {
    watchdog_.Disarm();
    {
        std::lock_guard guard(lock_);
        failed_ = true;
        currentFile_.reset();
        currentPath_.clear();
    }
    WriteLog(why);
    Stop();
}

void ProcessDL::OnClientDisconnect(const char*, int) {
    watchdog_.Disarm();
    {
        std::lock_guard guard(lock_);
        currentFile_.reset();
        currentPath_.clear();
    }
    SendNotify(kNotifyDLLost, 0);
    WriteLog("ProcessDL\xa3\xba"
             "OnClientDisconnect Faile");
}

void ProcessDL::OnLogin(uint32_t error, const uint8_t*, size_t) {
    if (error == 0)
        return;
    watchdog_.Disarm();
    PostNotify(kNotifyLoginRefused, 0);
    WriteLog("ProcessDL\xa3\xba"
             "OnLogin Faile");
}

void ProcessDL::OnAuthentLink(uint32_t error) {
    watchdog_.Disarm(); // the interface decides what comes next
    PostNotify(kNotifyDLAuthentLink, intptr_t(int32_t(error)));
    WriteLog(error == 0 ? "ProcessDL\xa3\xba"
                          "OnAuthentLink Success"
                        : "ProcessDL\xa3\xba"
                          "OnAuthentLink Faile");
}
