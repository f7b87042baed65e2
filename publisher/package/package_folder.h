// The package folder as it was when the package was loaded: a descriptor of the folder held for the
// package's life, below which every package file is opened without following a link on the way. A
// module folder or subfolder swapped for a link after loading (as a copy tool does when the new tree
// holds one) then fails to open instead of serving the link's target, and a package folder renamed or
// replaced as a whole still serves the tree that was loaded.
#pragma once

#include "core/result.h"
#include "publisher/package/file_stamp.h"
#include "publisher/ops/unique_fd.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace publisher {

struct PackageFile;

class PackageFolder {
  public:
    // The folder at `root` (a path without links, as fs::canonical gives it).
    static Result<std::shared_ptr<const PackageFolder>> Open(const std::filesystem::path& root);
    ~PackageFolder();
    PackageFolder(const PackageFolder&) = delete;
    PackageFolder& operator=(const PackageFolder&) = delete;

    const std::filesystem::path& root() const { return root_; }
    // Opens `relative` ("a/b/c.txt": no "." or ".." part, not absolute) below the folder with `flags`
    // (O_NOFOLLOW and O_CLOEXEC are added); a link anywhere on the way fails it (ELOOP or ENOTDIR).
    // None, with errno set, on failure.
    UniqueFd OpenBelow(const std::string& relative, int flags) const;
    // The same by walking the path one component at a time, each opened with O_NOFOLLOW: what OpenBelow
    // falls back to on kernels without openat2. Public for its tests.
    UniqueFd WalkBelow(const std::string& relative, int flags) const;

  private:
    PackageFolder(UniqueFd fd, std::filesystem::path root) : fd_(std::move(fd)), root_(std::move(root)) {}
    UniqueFd fd_;
    std::filesystem::path root_;
};

// Opens the file for reading below its package folder (see OpenBelow); none with errno set.
UniqueFd OpenPackageFile(const PackageFile& file);
// The file's stamp on disk now, reached the same way; a failure when it is no regular file there.
Result<FileStamp> StampOf(const PackageFile& file);

} // namespace publisher
