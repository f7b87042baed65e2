#include "publisher/package/package_folder.h"

#include "publisher/package/package.h"

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

Result<std::shared_ptr<const PackageFolder>> PackageFolder::Open(const std::filesystem::path& root) {
    UniqueFd fd(::open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!fd)
        return Error::FromErrno(ErrorKind::kIo, root.string() + ": cannot be opened as a folder");
    return std::shared_ptr<const PackageFolder>(new PackageFolder(std::move(fd), root));
}

PackageFolder::~PackageFolder() = default;

UniqueFd PackageFolder::OpenBelow(const std::string& relative, int flags) const {
    if (!PlainRelative(relative)) {
        errno = EINVAL;
        return UniqueFd();
    }
    if (!noOpenat2.load(std::memory_order_relaxed)) {
        open_how how{};
        how.flags = uint64_t(flags | O_NOFOLLOW | O_CLOEXEC);
        how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
        long fd;
        do
            fd = ::syscall(SYS_openat2, fd_.get(), relative.c_str(), &how, sizeof how);
        while (fd < 0 && errno == EINTR);
        if (fd >= 0 || errno != ENOSYS)
            return UniqueFd(int(fd));
        noOpenat2 = true;
    }
    return WalkBelow(relative, flags);
}

UniqueFd PackageFolder::WalkBelow(const std::string& relative, int flags) const {
    if (!PlainRelative(relative)) {
        errno = EINVAL;
        return UniqueFd();
    }
    UniqueFd below; // the folder reached so far, none while it is the package folder
    size_t start = 0;
    for (;;) {
        const int dir = below ? below.get() : fd_.get();
        const size_t slash = relative.find('/', start);
        const std::string part =
            relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        int opened;
        do
            opened = slash == std::string::npos
                         ? ::openat(dir, part.c_str(), flags | O_NOFOLLOW | O_CLOEXEC)
                         : ::openat(dir, part.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        while (opened < 0 && errno == EINTR);
        UniqueFd fd(opened);
        below.reset(); // keeps errno
        if (!fd || slash == std::string::npos)
            return fd;
        // A link opened as itself is no folder to go on from.
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            fd.reset();
            errno = ENOTDIR;
            return UniqueFd();
        }
        below = std::move(fd);
        start = slash + 1;
    }
}

UniqueFd OpenPackageFile(const PackageFile& file) {
    if (!file.folder) {
        errno = ENOENT;
        return UniqueFd();
    }
    return file.folder->OpenBelow(file.relative, O_RDONLY | O_NONBLOCK);
}

Result<FileStamp> StampOf(const PackageFile& file) {
    if (!file.folder)
        return Error(ErrorKind::kNotFound, file.source.string() + ": no package folder");
    // O_PATH with O_NOFOLLOW gives the final link itself, which the S_ISREG check then refuses.
    const UniqueFd fd = file.folder->OpenBelow(file.relative, O_PATH);
    if (!fd)
        return Error::FromErrno(ErrorKind::kIo, file.source.string() + ": cannot be opened");
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        return Error::FromErrno(ErrorKind::kIo, file.source.string() + ": cannot be read");
    if (!S_ISREG(st.st_mode))
        return Error(ErrorKind::kInvalid, file.source.string() + ": no regular file");
    return StampFrom(st);
}

} // namespace publisher
