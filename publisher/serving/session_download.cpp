// The download side of a session: the messages of a running download, read from the package files or
// replayed from the messages kept of an earlier download, and the recording of them into that cache.
#include "publisher/serving/session.h"

#include "core/wire.h"
#include "net/message_header.h"
#include "publisher/serving/error_codes.h"
#include "publisher/prepared/message_layout.h"
#include "publisher/package/package_folder.h"
#include "service/messages.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace publisher {
namespace {

// The chunk the hostile-RelDir test switch puts in front of every download.
constexpr char kHostileData[] = "written outside the download folder";

} // namespace

bool TakeTestCut(const TestSwitches& test) {
    // Counted for the whole process, across connections and reloads: a test switch, never production.
    static std::atomic<uint64_t> cuts{0};
    return !test.dropTimes || cuts.fetch_add(1) < *test.dropTimes;
}

bool Session::BuildDownloadMessage(std::vector<uint8_t>& packet) {
    // Whether this connection is one the drop switch cuts is decided once, at its first message; the
    // check service's own probes are never cut, nor counted.
    if (downloadMessages_ == 0 && settings_.test.dropAfter)
        cutByTest_ = !quiet_ && TakeTestCut(settings_.test);
    if (cutByTest_ && downloadMessages_ >= *settings_.test.dropAfter) {
        Close("test switch: dropped after " + std::to_string(downloadMessages_) + " download messages");
        return false;
    }
    packet.resize(kPacketAreaSize);
    const size_t n = replay_ || StartReplay() ? ReplayPacket(packet.data()) : ReadPacket(packet.data());
    if (closing_)
        return false;
    if (n == 0) {
        Complain("download stopped", "download stopped: a message could not be encoded");
        Close("encoding failed");
        return false;
    }
    packet.resize(n);
    ++downloadMessages_;
    Count(&Metrics::fileBytesSent, stream_.BytesRead() - bytesCounted_);
    bytesCounted_ = stream_.BytesRead();
    if (!stream_.Active()) {
        downloadOpen_ = false;
        Count(&Metrics::downloadsCompleted);
        stream_.ReleaseIdle();
        std::string kept;
        if (replayedMessages_ != 0)
            kept = " (" + std::to_string(replayedMessages_) + " of them kept from earlier downloads)";
        if (preparedMessages_ != 0)
            kept += " (" + std::to_string(preparedMessages_) + " of them prepared)";
        Log("download", "download complete: " + std::to_string(stream_.BytesRead() - streamStartBytes_) +
                            " bytes, " + std::to_string(downloadMessages_) + " messages on this connection" +
                            kept);
    }
    if (cutByTest_ && downloadMessages_ >= *settings_.test.dropAfter)
        Close("test switch: dropped after " + std::to_string(downloadMessages_) + " download messages");
    return true;
}

bool Session::Reusing() const {
    // The garbage and hostile switches change what goes out; nothing they touch may be kept or reused.
    return !settings_.test.garbage && !settings_.test.hostileRelDir;
}

bool Session::Caching() const {
    return cache_ && Reusing();
}

bool Session::StartReplay() {
    const PackageFile* file = Reusing() ? stream_.UpcomingFile() : nullptr;
    if (file == nullptr)
        return false;
    // Prepared messages are the denser ones; kept ones stand in until a file is prepared.
    replay_ = prepared_ ? prepared_->Find(file) : nullptr;
    if (replay_ && replay_->disk) {
        // Its cache file is used only as it was when it was checked against the package file.
        replayFd_.reset(::open(replay_->disk->path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
        struct stat st {};
        if (!replayFd_ || ::fstat(replayFd_.get(), &st) != 0 || !(StampFrom(st) == replay_->disk->stamp)) {
            CloseReplayFile();
            replay_.reset();
        }
    }
    replayPrepared_ = replay_ != nullptr;
    if (!replay_ && cache_)
        replay_ = cache_->Find(file);
    replayNext_ = 0;
    return replay_ != nullptr;
}

void Session::CloseReplayFile() {
    replayFd_.reset();
}

const uint8_t* Session::ReadDiskMessage(size_t i, size_t& len) {
    const auto& at = replay_->disk->offsets;
    len = size_t(at[i + 1] - at[i]);
    uint8_t* out = scratch_.encode.stage;
    if (len == 0 || len > sizeof scratch_.encode.stage)
        return nullptr;
    size_t got = 0;
    while (got < len) {
        const ssize_t n = ::pread(replayFd_.get(), out + got, len - got, off_t(at[i] + got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return nullptr;
        got += size_t(n);
    }
    return out;
}

size_t Session::ReplayPacket(uint8_t* packet) {
    const size_t i = replayNext_++;
    size_t len = 0;
    const uint8_t* msg = nullptr;
    if (replay_->disk) {
        msg = ReadDiskMessage(i, len);
        if (!msg)
            return FailDownload(replay_->disk->path.string() + ": prepared messages cannot be read");
    } else {
        msg = replay_->messages[i].data();
        len = replay_->messages[i].size();
    }
    const size_t n = SealPacket(msg, len, '6', ownSendKey_, packet);
    ++(replayPrepared_ ? preparedMessages_ : replayedMessages_);
    if (replayNext_ == replay_->MessageCount()) {
        stream_.SkipFile(replay_->fileBytes);
        replay_.reset();
        CloseReplayFile();
    }
    return n;
}

size_t Session::FailDownload(const std::string& error) {
    // The chunks sent so far lack their ModuleEnd; the error and the close make the installer fail
    // instead of installing a file that is half old, half new.
    DropRecording();
    replay_.reset();
    CloseReplayFile();
    Complain("download stopped", "download stopped: " + error);
    auto rsp = messages::EncodeFileDownloadResponse({}, messages::kDownloadRspSize);
    if (rsp) {
        wire::StoreU32(rsp->data() + MessageHeader::kErrorCodeOffset, kErrorUnreadableFile);
        Queue(*rsp);
    }
    Close("package file unreadable or changed while it was sent");
    return 0;
}

size_t Session::ReadPacket(uint8_t* packet) {
    if (const PackageFile* upcoming = Caching() ? stream_.UpcomingFile() : nullptr; upcoming && !recording_)
        recording_.emplace().file = upcoming;
    auto& chunks = scratch_.chunks;
    chunks.clear();
    size_t max = ChunksPerMessage();
    if (hostilePending_) {
        hostilePending_ = false;
        const uint8_t* data = reinterpret_cast<const uint8_t*>(kHostileData);
        chunks.push_back(
            {stream_.Front()->name, "orvane-escape.txt", "..\\..\\", {data, sizeof kHostileData - 1}, false});
        --max;
    }
    const uint64_t before = stream_.BytesRead();
    if (Status next = stream_.Next(chunks, max); !next)
        return FailDownload(next.error().message());
    auto msg = messages::EncodeFileDownloadResponse(chunks);
    if (!msg || !recording_) {
        DropRecording();
        return msg ? Encode(msg->data(), msg->size(), packet) : 0;
    }
    const size_t l = CompressMessage(msg->data(), msg->size(), scratch_.encode);
    const size_t n = l == 0 ? 0 : SealPacket(scratch_.encode.stage, l, '6', ownSendKey_, packet);
    if (n == 0)
        DropRecording();
    else
        Record(scratch_.encode.stage, l, stream_.BytesRead() - before);
    return n;
}

void Session::Record(const uint8_t* compressed, size_t len, uint64_t fileBytes) {
    FileRecording& r = *recording_;
    if (r.entry.messages.empty()) {
        // This message opened the file: reserve room for all of it now that its size is known.
        r.entry.stamp = stream_.OpenedStamp();
        const uint64_t room = RecordingRoom(r.entry.stamp.size);
        if (!cache_->Reserve(room)) {
            recording_.reset();
            return;
        }
        r.reserved = room;
    }
    r.entry.messages.emplace_back(compressed, compressed + len);
    r.entry.bytes += len;
    r.entry.fileBytes += fileBytes;
    if (!stream_.FileFinished()) {
        // A full message that hardly compresses tells enough: the file would not be kept.
        if (!MessageCache::Compresses(r.entry))
            DropRecording();
        return;
    }
    // Offered only when the file is the one that was opened and was read whole.
    const auto now = StampOf(*r.file);
    if (now && *now == r.entry.stamp && r.entry.fileBytes == r.entry.stamp.size)
        cache_->Store(r.file, std::move(r.entry), r.reserved);
    else
        cache_->Release(r.reserved);
    recording_.reset();
}

void Session::DropRecording() {
    if (recording_)
        cache_->Release(recording_->reserved);
    recording_.reset();
}

} // namespace publisher
