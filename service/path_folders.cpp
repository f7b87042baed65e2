#include "service/path_folders.h"

#include "service/local_fs.h"
#include "service/path_policy.h"

bool CreatePathFolders(const std::string& path) {
    // Only a whole-character backslash ends a folder: in code page 936 it is also the second byte of
    // characters such as 誠, whose names must not be cut in two.
    for (size_t at : path_policy::Separators(path)) {
        std::string prefix = path.substr(0, at + 1);
        if (LocalPathExists(prefix))
            continue;
        if (!LocalMakeFolder(prefix)) {
            ShowFolderAlert(prefix);
            return false;
        }
    }
    return true;
}
