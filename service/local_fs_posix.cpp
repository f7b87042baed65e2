#include "service/local_fs.h"

#include "service/path_policy.h"

#include <sys/stat.h>

namespace {
// Whole-character backslashes only: a 0x5C trail byte of a code page 936 name stays part of the name.
std::string Native(std::string_view path) {
    std::string out(path);
    for (size_t at : path_policy::Separators(path))
        out[at] = '/';
    return out;
}
} // namespace

bool LocalPathExists(const std::string& path) {
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0;
}

bool LocalMakeFolder(const std::string& path) {
    return ::mkdir(Native(path).c_str(), 0755) == 0;
}

UniqueFile LocalOpenFile(const std::string& path, const char* mode) {
    return UniqueFile(std::fopen(Native(path).c_str(), mode));
}

void ShowFolderAlert(const std::string& folder) {
    std::fprintf(stderr, "cannot create folder: %s\n", folder.c_str());
}
