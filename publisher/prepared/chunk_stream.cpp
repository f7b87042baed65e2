#include "publisher/prepared/chunk_stream.h"

#include "publisher/package/package_folder.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace publisher {

ChunkStream::~ChunkStream() {
    CloseFile();
}

void ChunkStream::CloseFile() {
    fd_.reset();
    offset_ = 0;
    size_ = 0;
}

const PackageFile* ChunkStream::UpcomingFile() const {
    if (queue_.empty() || fd_ || queue_.front()->files.empty())
        return nullptr;
    return &queue_.front()->files[fileIndex_];
}

void ChunkStream::SkipFile(uint64_t bytes) {
    if (UpcomingFile() == nullptr)
        return;
    bytesRead_ += bytes;
    FileDone(queue_.front());
}

bool ChunkStream::Holds(const PackageModule* module) const {
    return std::find(queue_.begin(), queue_.end(), module) != queue_.end();
}

void ChunkStream::FileDone(const PackageModule* module) {
    CloseFile();
    if (++fileIndex_ == module->files.size()) {
        fileIndex_ = 0;
        queue_.pop_front();
    }
}

void ChunkStream::ReleaseIdle() {
    if (queue_.empty())
        std::vector<uint8_t>().swap(data_);
}

void ChunkStream::Abort() {
    CloseFile();
    queue_.clear();
    fileIndex_ = 0;
    ReleaseIdle();
}

Status ChunkStream::Next(std::vector<messages::FileChunk>& chunks, size_t max) {
    if (data_.size() < max * messages::kChunkDataMax)
        data_.resize(max * messages::kChunkDataMax);
    fileFinished_ = false;
    if (max > 0 && !queue_.empty()) {
        const PackageModule* module = queue_.front();
        if (module->files.empty()) {
            chunks.push_back({module->name, kEmptyModuleFile, "", {}, true});
            queue_.pop_front();
            return Ok();
        }
        const PackageFile& file = module->files[fileIndex_];
        if (!fd_) {
            errno = 0;
            fd_ = OpenPackageFile(file);
            struct stat st {};
            const bool opened = fd_ && ::fstat(fd_.get(), &st) == 0 && S_ISREG(st.st_mode);
            // The manifest linked into a module folder after the package was loaded.
            const bool manifest = opened && forbiddenInode_ != 0 && uint64_t(st.st_dev) == forbiddenDevice_ &&
                                  uint64_t(st.st_ino) == forbiddenInode_;
            if (!opened || manifest) {
                Abort();
                return Error(ErrorKind::kIo,
                             file.source.string() + ": cannot be read: " +
                                 (manifest ? "it is the manifest" : std::strerror(errno ? errno : EINVAL)));
            }
            stamp_ = StampFrom(st);
            // Another file than the one loaded, or this one written since: the download was promised
            // the package as loaded, and a mix of two versions would install as if it were whole.
            if (!(stamp_ == file.stamp)) {
                Abort();
                return Error(ErrorKind::kIo, file.source.string() + ": changed since the package was loaded");
            }
            size_ = uint64_t(st.st_size);
            offset_ = 0;
        }
        // One read for every chunk of this file that still fits the message: a read per kilobyte
        // made the system calls cost more than the data.
        const uint64_t room = uint64_t(max) * messages::kChunkDataMax;
        size_t want = size_t(std::min<uint64_t>(room, size_ - offset_));
        uint8_t* out = data_.data();
        size_t got = 0;
        while (got < want) {
            ssize_t n = ::read(fd_.get(), out + got, want - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                Abort();
                return Error(ErrorKind::kIo, file.source.string() + ": read failed: " + std::strerror(errno));
            }
            if (n == 0)
                break;
            got += size_t(n);
        }
        struct stat now {};
        if (got < want || ::fstat(fd_.get(), &now) != 0 || !(StampFrom(now) == stamp_)) {
            Abort();
            return Error(ErrorKind::kIo, file.source.string() + ": changed while it was sent");
        }
        bool fileDone = false, moduleDone = false;
        size_t at = 0;
        do { // an empty (or emptied) file still sends one empty chunk
            const size_t piece = std::min(messages::kChunkDataMax, got - at);
            offset_ += piece;
            bytesRead_ += piece;
            at += piece;
            fileDone = at == got && offset_ >= size_;
            moduleDone = fileDone && fileIndex_ + 1 == module->files.size();
            chunks.push_back(
                {module->name, file.fileName, file.relDir, {out + at - piece, piece}, moduleDone});
        } while (at < got);
        if (fileDone) {
            fileFinished_ = true;
            FileDone(module);
        }
    }
    return Ok();
}

} // namespace publisher
