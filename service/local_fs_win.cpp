#include "service/local_fs.h"

#include <windows.h>

bool LocalPathExists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool LocalMakeFolder(const std::string& path) { return CreateDirectoryA(path.c_str(), nullptr) != 0; }

std::FILE* LocalOpenFile(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

void ShowFolderAlert(const std::string& folder) {
    // Caption "提示" in code page 936.
    MessageBoxA(nullptr, folder.c_str(), "\xcc\xe1\xca\xbe", MB_OK);
}
