#include "service/local_fs.h"

#include <sys/stat.h>

namespace {
std::string Native(std::string path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}
} // namespace

bool LocalPathExists(const std::string& path) {
    struct stat st;
    return ::stat(Native(path).c_str(), &st) == 0;
}

bool LocalMakeFolder(const std::string& path) { return ::mkdir(Native(path).c_str(), 0755) == 0; }

std::FILE* LocalOpenFile(const std::string& path, const char* mode) { return std::fopen(Native(path).c_str(), mode); }

void ShowFolderAlert(const std::string& folder) { std::fprintf(stderr, "cannot create folder: %s\n", folder.c_str()); }
