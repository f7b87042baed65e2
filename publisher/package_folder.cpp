#include "publisher/package_folder.h"

#include "publisher/package.h"

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace publisher {
namespace {

// Set once openat2 answered ENOSYS: the kernel lacks it, so every later open walks.
std::atomic<bool> noOpenat2{false};

// Whether `relative` names something strictly below a folder by plain components only.
bool PlainRelative(const std::string& relative) {
    if (relative.empty() || relative.front() == '/')
        return false;
    size_t start = 0;
    while (start <= relative.size()) {
        size_t end = relative.find('/', start);
        if (end == std::string::npos)
            end = relative.size();
        const std::string_view part(relative.data() + start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

} // namespace

std::shared_ptr<const PackageFolder> PackageFolder::Open(const std::filesystem::path& root,
                                                         std::string& error) {
    const int fd = ::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        error = root.string() + ": cannot be opened as a folder";
        return nullptr;
    }
    return std::shared_ptr<const PackageFolder>(new PackageFolder(fd, root));
}

PackageFolder::~PackageFolder() {
    ::close(fd_);
}

int PackageFolder::OpenBelow(const std::string& relative, int flags) const {
    if (!PlainRelative(relative)) {
        errno = EINVAL;
        return -1;
    }
    if (!noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = uint64_t(flags | O_NOFOLLOW | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd;
        do
            fd = ::syscall(SYS_openat2, fd_, relative.c_str(), &how, sizeof how);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != ENOSYS)
            return int(fd);
        noOpenat2 = true;
    }
    return WalkBelow(relative, flags);
}

int PackageFolder::WalkBelow(const std::string& relative, int flags) const {
    if (!PlainRelative(relative)) {
        errno = EINVAL;
        return -1;
    }
    int dir = fd_;
    size_t start = 0;
    for (;;) {
        const size_t slash = relative.find('/', start);
        const std::string part =
            relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        int fd;
        do
            fd = slash == std::string::npos
                     ? ::openat(dir, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC)
                     : ::openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        while (fd < 0 && errno == EINTR);
        const int saved = errno;
        if (dir != fd_)
            ::close(dir);
        errno = saved;
        if (fd < 0 || slash == std::string::npos)
            return fd;
        // A link opened as itself is no folder to go on from.
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode)) {
            ::close(fd);
            errno = ENOTDIR;
            return -1;
        }
        dir = fd;
        start = slash + 1;
    }
}

int OpenPackageFile(const PackageFile& file) {
    if (!file.folder) {
        errno = ENOENT;
        return -1;
    }
    return file.folder->OpenBelow(file.relative, O_RDONLY | O_NONBLOCK);
}

std::optional<FileStamp> StampOf(const PackageFile& file) {
    if (!file.folder)
        return std::nullopt;
    // O_PATH with O_NOFOLLOW gives the final link itself, which the S_ISREG check then refuses.
    const int fd = file.folder->OpenBelow(file.relative, O_PATH);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    const bool regular = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    ::close(fd);
    if (!regular)
        return std::nullopt;
    return StampFrom(st);
}

} // namespace publisher
