#include "service/local_fs.h"

#include "core/wide_path.h"
#include "service/path_policy.h"

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <sys/stat.h>

namespace {
// Whole-character backslashes only: a 0x5C trail byte of a code page 936 name stays part of the name.
std::string Native(const LocalPath& path) {
    std::string out = BytesFromWidePath(path.folder);
    if (path.relative.empty())
        return out;
    std::string below(path.relative);
    for (size_t at : path_policy::Separators(below))
        below[at] = '/';
    return out + "/" + below;
}
} // namespace

bool LocalPathExists(const LocalPath& path) {
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0;
}

std::filesystem::path LocalFolder(const std::wstring& folder) {
    return BytesFromWidePath(folder);
}

Status LocalMakeFolder(const LocalPath& path) {
    if (::mkdir(Native(path).c_str(), 0755) == 0)
        return Ok();
    const int code = errno; // before the message's text is made
    return Error(ErrorKind::kIo, "cannot create " + LocalPathText(path), code);
}

UniqueFile LocalOpenFile(const LocalPath& path, const char* mode) {
    return UniqueFile(std::fopen(Native(path).c_str(), mode));
}

std::string LocalPathText(const LocalPath& path) {
    std::string text = BytesFromWidePath(path.folder);
    if (!path.relative.empty())
        text += "\\" + path.relative;
    return text;
}

namespace {
std::atomic<bool> folderAlertsShown{true};
} // namespace

void SetFolderAlertsShown(bool shown) {
    folderAlertsShown.store(shown);
}

void ShowFolderAlert(const LocalPath& folder) {
    if (folderAlertsShown.load())
        std::fprintf(stderr, "cannot create folder: %s\n", LocalPathText(folder).c_str());
}
