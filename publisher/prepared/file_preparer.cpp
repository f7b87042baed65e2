#include "publisher/prepared/file_preparer.h"

#include "net/packet_codec.h"
#include "publisher/prepared/cache_folder.h"
#include "publisher/prepared/chunk_stream.h"
#include "publisher/prepared/message_layout.h"
#include "publisher/package/package_folder.h"
#include "service/messages.h"

#include <botan/sha2_32.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace publisher {
namespace {

using Kind = PreparedOutcome::Kind;

// The messages the download service sends for the job's file, one at a time, exactly as a download
// makes them: through the same ChunkStream, skipping the module's files before it.
class FileMessages {
  public:
    FileMessages(const Package& package, const FileJob& job) {
        stream_.Forbid(package.manifestDevice, package.manifestInode);
        stream_.Enqueue(job.module);
        for (size_t i = 0; i < job.index; ++i)
            stream_.SkipFile(0);
    }
    // The next message into `msg` (true), or false at the end.
    Result<bool> Next(std::vector<uint8_t>& msg) {
        if (done_)
            return false;
        chunks_.clear();
        if (Status next = stream_.Next(chunks_, ChunksPerMessage()); !next)
            return next.error();
        auto encoded = messages::EncodeFileDownloadResponse(chunks_);
        if (!encoded)
            return Error(ErrorKind::kInvalid, "a message could not be built");
        msg = std::move(*encoded);
        done_ = stream_.FileFinished();
        return true;
    }
    bool Done() const { return done_; }
    uint64_t Bytes() const { return stream_.BytesRead(); }
    const FileStamp& Stamp() const { return stream_.OpenedStamp(); }

  private:
    ChunkStream stream_;
    std::vector<messages::FileChunk> chunks_;
    bool done_ = false;
};

int64_t NowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

Result<Digest> HashFile(const PackageFile& file, FileStamp& stamp, const std::atomic<bool>& cancel) {
    UniqueFd fd = OpenPackageFile(file);
    if (!fd)
        return Error::FromErrno(ErrorKind::kIo, file.source.string() + ": " + std::strerror(errno));
    struct stat st {};
    bool ok = ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
    stamp = StampFrom(st);
    Botan::SHA_256 hash;
    std::vector<uint8_t> buffer(1 << 20);
    uint64_t total = 0;
    while (ok && !cancel) {
        ssize_t n = ::read(fd.get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            ok = n == 0;
            break;
        }
        hash.update(buffer.data(), size_t(n));
        total += uint64_t(n);
    }
    struct stat now {};
    const bool same = ok && ::fstat(fd.get(), &now) == 0 && StampFrom(now) == stamp && total == stamp.size;
    fd.reset();
    if (cancel)
        return Error(ErrorKind::kCancelled, "cancelled");
    if (!same)
        return Error(ok ? ErrorKind::kInvalid : ErrorKind::kIo,
                     file.source.string() + (ok ? ": changed while it was hashed" : ": cannot be read"));
    Digest d;
    hash.final(d.data());
    return d;
}

PreparedLayout LayoutOf(const FileJob& job, const Digest& content) {
    const PackageFile& f = job.file();
    return {content,  f.size,     job.module->name,
            f.relDir, f.fileName, job.index + 1 == job.module->files.size()};
}

uint64_t MaxCacheFileBytes(uint64_t size) {
    const uint64_t n = PreparedMessageCount(size);
    return kPreparedHeaderSize + n * (4 + kMaxSendPayload) + kPreparedChecksumSize;
}

namespace {

enum class Made { Ok, Mismatch, Refused, Changed, Cancelled };

// Walks the file's messages into `entry`: compressed now, or, with `kept`, taken from the cache file
// after each was found to decode to the message the file makes. A failure: the file could not be read
// to its end as it was loaded.
Result<Made> MakeMessages(const Package& package, const FileJob& job, const FileStamp& stamp,
                          const std::vector<std::vector<uint8_t>>* kept, DenseWork& work,
                          const std::atomic<bool>& cancel, CachedFile& entry) {
    FileMessages source(package, job);
    std::vector<uint8_t> msg;
    size_t i = 0;
    while (!cancel) {
        const Result<bool> next = source.Next(msg);
        if (!next)
            return cancel ? Result<Made>(Made::Cancelled) : next.error();
        if (!*next)
            break;
        if (kept) {
            if (i >= kept->size() || !DecodesTo((*kept)[i], msg.data(), msg.size(), work))
                return Made::Mismatch;
            entry.bytes += (*kept)[i++].size();
            continue;
        }
        std::vector<uint8_t> dense = CompressDense(msg.data(), msg.size(), work);
        if (dense.empty())
            return Made::Refused;
        entry.bytes += dense.size();
        entry.messages.push_back(std::move(dense));
    }
    if (cancel)
        return Made::Cancelled;
    const auto now = StampOf(job.file());
    if (!source.Done() || !(source.Stamp() == stamp) || !now || !(*now == stamp) ||
        source.Bytes() != stamp.size)
        return Made::Changed;
    if (kept && i != kept->size())
        return Made::Mismatch;
    entry.fileBytes = source.Bytes();
    return Made::Ok;
}

} // namespace

PreparedOutcome PrepareFile(const Package& package, const FileJob& job, const std::filesystem::path& cacheDir,
                            bool write, std::chrono::nanoseconds settle, DenseWork& work,
                            const std::atomic<bool>& cancel) {
    PreparedOutcome out;
    const std::string path = job.file().source.string();
    FileStamp stamp;
    auto content = HashFile(job.file(), stamp, cancel);
    if (!content) {
        out.kind = cancel ? Kind::Cancelled : Kind::Unreadable;
        out.note = content.error().message();
        return out;
    }
    // Messages of another file than the one loaded would never be served: downloads refuse it.
    if (!(stamp == job.file().stamp)) {
        out.kind = Kind::Changed;
        out.note = path + ": changed since the package was loaded";
        return out;
    }
    // A write in the same clock tick as the hashing would leave the stamp as it was.
    if (NowNs() - std::max(stamp.modifiedNs, stamp.changedNs) < settle.count()) {
        out.kind = Kind::Changed;
        out.note = path + ": changed too recently";
        return out;
    }
    const Digest key = PreparedKey(LayoutOf(job, *content));
    out.cacheName = PreparedFileName(key);

    std::optional<std::vector<std::vector<uint8_t>>> kept;
    if (auto bytes = ReadCacheFile(cacheDir / out.cacheName, MaxCacheFileBytes(stamp.size)); !bytes) {
        if (bytes.error().kind() != ErrorKind::kNotFound) // none yet is no reason to note
            out.ignored = bytes.error().message();
    } else if (auto parsed = ParsePreparedFile(bytes->data(), bytes->size(), key, stamp.size); !parsed) {
        out.ignored = parsed.error().message();
    } else {
        kept = std::move(*parsed);
    }
    CachedFile entry;
    entry.stamp = stamp;
    Result<Made> made = MakeMessages(package, job, stamp, kept ? &*kept : nullptr, work, cancel, entry);
    if (made && *made == Made::Mismatch) {
        // Well-formed but not this file's messages: trusted for nothing, made again.
        out.ignored = "its messages do not decode to the file's";
        kept.reset();
        entry = CachedFile{};
        entry.stamp = stamp;
        made = MakeMessages(package, job, stamp, nullptr, work, cancel, entry);
    }
    if (!made) {
        out.kind = Kind::Changed;
        out.note = path + ": changed while it was prepared (" + made.error().message() + ")";
        return out;
    }
    switch (*made) {
    case Made::Ok:
        break;
    case Made::Cancelled:
        out.kind = Kind::Cancelled;
        return out;
    case Made::Refused:
        out.kind = Kind::Refused;
        out.note = path + ": a message could not be compressed into a packet";
        return out;
    case Made::Changed:
    case Made::Mismatch:
        out.kind = Kind::Changed;
        out.note = path + ": changed while it was prepared";
        return out;
    }
    if (kept) {
        entry.messages = std::move(*kept);
        out.kind = Kind::Reused;
        out.cacheBytes =
            kPreparedHeaderSize + 4 * entry.messages.size() + entry.bytes + kPreparedChecksumSize;
    } else {
        out.kind = Kind::Compressed;
        if (write) {
            const auto file = EncodePreparedFile(key, entry.fileBytes, entry.messages);
            if (Status written = WriteCacheFile(cacheDir, out.cacheName, file); written) {
                out.cacheBytes = file.size();
            } else {
                out.kind = Kind::Unwritable;
                out.note = written.error().message();
            }
        }
    }
    entry.cacheName = out.cacheName;
    out.entry = std::make_shared<const CachedFile>(std::move(entry));
    return out;
}

} // namespace publisher
