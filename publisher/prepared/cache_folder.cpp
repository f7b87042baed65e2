#include "publisher/prepared/cache_folder.h"

#include "publisher/prepared/prepared_file.h"
#include "publisher/ops/unique_fd.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/statvfs.h>
#include <sys/stat.h>
#include <unistd.h>

namespace publisher {
namespace fs = std::filesystem;

namespace {

// A temporary file this old has no writer any more: writing one takes seconds.
constexpr auto kAbandoned = std::chrono::hours(1);

// Random digits for a temporary name.
uint64_t UniqueNumber() {
    static std::atomic<uint64_t> counter{0};
    thread_local std::mt19937_64 random(std::random_device{}() ^ uint64_t(::getpid()) << 32);
    return (random() ^ ++counter) % 1000000000000000ULL;
}

} // namespace

fs::path DefaultCacheDir(const fs::path& packageDir) {
    std::error_code ec;
    fs::path full = fs::weakly_canonical(fs::absolute(packageDir, ec), ec);
    if (full.has_relative_path() && !full.has_filename())
        full = full.parent_path();
    std::string name = full.filename().string();
    return full.parent_path() / ((name.empty() ? std::string("package") : name) + ".cache");
}

Status EnsureCacheFolder(const fs::path& dir) {
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (!ec && fs::is_directory(dir, ec))
        return Ok();
    return Error(ErrorKind::kIo, dir.string() + ": " + (ec ? ec.message() : std::string("not a folder")),
                 ec.value());
}

Result<std::vector<uint8_t>> ReadCacheFile(const fs::path& path, uint64_t maxBytes) {
    const UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!fd) {
        const int code = errno;
        return Error(code == ENOENT ? ErrorKind::kNotFound : ErrorKind::kIo, std::strerror(code), code);
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
        return Error(ErrorKind::kIo, "not a regular file");
    if (uint64_t(st.st_size) > maxBytes)
        return Error(ErrorKind::kInvalid, "larger than the file's messages can be");
    std::vector<uint8_t> out(size_t(st.st_size));
    size_t got = 0;
    while (got < out.size()) {
        ssize_t n = ::read(fd.get(), out.data() + got, out.size() - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return Error::FromErrno(ErrorKind::kIo, std::strerror(errno));
        if (n == 0)
            return Error(ErrorKind::kIo, "shrank while it was read");
        got += size_t(n);
    }
    return out;
}

Status WriteCacheFile(const fs::path& dir, const std::string& name, const std::vector<uint8_t>& bytes) {
    const fs::path final = dir / name;
    // A name no other writer uses (two services may share the folder, and a container's process ids
    // repeat), created exclusively, so no writer ever writes into another's temporary file.
    fs::path temp;
    UniqueFd fd;
    for (int attempt = 0; attempt < 8 && !fd; ++attempt) {
        temp = dir / (name + ".tmp." + std::to_string(::getpid()) + std::to_string(UniqueNumber()));
        fd.reset(::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644));
        if (!fd && errno != EEXIST)
            break;
    }
    if (!fd)
        return Error::FromErrno(ErrorKind::kIo, temp.string() + ": " + std::strerror(errno));
    size_t done = 0;
    int failure = 0;
    while (done < bytes.size() && failure == 0) {
        ssize_t n = ::write(fd.get(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            failure = n < 0 ? errno : ENOSPC;
        else
            done += size_t(n);
    }
    // Flushed before the rename: after a crash the name holds the whole file or no file.
    if (failure == 0 && ::fsync(fd.get()) != 0)
        failure = errno;
    if (fd.Close() != 0 && failure == 0)
        failure = errno;
    if (failure == 0 && ::rename(temp.c_str(), final.c_str()) != 0)
        failure = errno;
    if (failure != 0) {
        ::unlink(temp.c_str());
        return Error(ErrorKind::kIo, final.string() + ": " + std::strerror(failure), failure);
    }
    return Ok();
}

bool IsUnusableName(const fs::path& path) {
    std::error_code ec;
    const auto status = fs::symlink_status(path, ec);
    return !ec && fs::exists(status) && !fs::is_regular_file(status);
}

Result<uint64_t> FreeBytes(const fs::path& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0)
        return Error::FromErrno(ErrorKind::kIo, dir.string() + ": " + std::strerror(errno));
    return uint64_t(st.f_bavail) * st.f_frsize;
}

uint64_t FreeSpaceReserve(const fs::path& dir) {
    struct statvfs st {};
    if (::statvfs(dir.c_str(), &st) != 0)
        return 0;
    return uint64_t(st.f_blocks) * st.f_frsize / 20;
}

CacheFolderUse MeasureCacheFolder(const fs::path& dir) {
    CacheFolderUse use;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code e;
        if (!IsPreparedFileName(it->path().filename().string()) || !it->is_regular_file(e))
            continue;
        const uint64_t size = it->file_size(e);
        if (e)
            continue;
        ++use.files;
        use.bytes += size;
    }
    return use;
}

size_t RemoveStaleCacheFiles(const fs::path& dir, const std::set<std::string>& keep) {
    size_t removed = 0;
    const auto now = fs::file_time_type::clock::now();
    std::vector<fs::path> stale;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        std::error_code e;
        if (IsPreparedFileName(name) ? keep.contains(name)
                                     : !IsPreparedTempName(name) || now - it->last_write_time(e) < kAbandoned)
            continue;
        if (!e)
            stale.push_back(it->path());
    }
    for (const auto& path : stale) {
        std::error_code e;
        if (fs::remove(path, e))
            ++removed;
    }
    return removed;
}

} // namespace publisher
