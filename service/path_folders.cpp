#include "service/path_folders.h"

#include "service/local_fs.h"

bool CreatePathFolders(const std::string& path) {
    for (size_t pos = path.find('\\'); pos != std::string::npos; pos = path.find('\\', pos + 1)) {
        std::string prefix = path.substr(0, pos + 1);
        if (LocalPathExists(prefix))
            continue;
        if (!LocalMakeFolder(prefix)) {
            ShowFolderAlert(prefix);
            return false;
        }
    }
    return true;
}
