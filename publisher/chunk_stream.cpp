#include "publisher/chunk_stream.h"

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
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
    offset_ = 0;
    size_ = 0;
}

void ChunkStream::Abort() {
    CloseFile();
    queue_.clear();
    fileIndex_ = 0;
}

ChunkStream::Result ChunkStream::Next(std::vector<messages::FileChunk>& chunks, size_t max,
                                      std::string& error) {
    if (data_.size() < max * messages::kChunkDataMax)
        data_.resize(max * messages::kChunkDataMax);
    size_t slot = 0;
    while (slot < max && !queue_.empty()) {
        const PackageModule* module = queue_.front();
        if (module->files.empty()) {
            chunks.push_back({module->name, kEmptyModuleFile, "", {}, true});
            ++slot;
            queue_.pop_front();
            continue;
        }
        const PackageFile& file = module->files[fileIndex_];
        if (fd_ < 0) {
            errno = 0;
            fd_ = ::open(file.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
            struct stat st {};
            if (fd_ < 0 || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode)) {
                error = file.source.string() + ": cannot be read: " + std::strerror(errno ? errno : EINVAL);
                Abort();
                return Result::Error;
            }
            size_ = uint64_t(st.st_size);
            offset_ = 0;
        }
        size_t want = size_t(std::min<uint64_t>(messages::kChunkDataMax, size_ - offset_));
        uint8_t* out = data_.data() + slot * messages::kChunkDataMax;
        size_t got = 0;
        while (got < want) {
            ssize_t n = ::read(fd_, out + got, want - got);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                error = file.source.string() + ": read failed: " + std::strerror(errno);
                Abort();
                return Result::Error;
            }
            if (n == 0)
                break; // shrank since it was opened: send what is there
            got += size_t(n);
        }
        offset_ += got;
        bytesRead_ += got;
        bool fileDone = got < want || offset_ >= size_;
        bool moduleDone = fileDone && fileIndex_ + 1 == module->files.size();
        chunks.push_back({module->name, file.fileName, file.relDir, {out, got}, moduleDone});
        ++slot;
        if (fileDone) {
            CloseFile();
            ++fileIndex_;
        }
        if (moduleDone) {
            fileIndex_ = 0;
            queue_.pop_front();
        }
    }
    return Result::Ok;
}

} // namespace publisher
