#include "service/path_folders.h"

#include "service/path_policy.h"

namespace {

bool MakeFolder(const LocalPath& folder) {
    if (LocalPathExists(folder) || LocalMakeFolder(folder))
        return true;
    ShowFolderAlert(folder);
    return false;
}

} // namespace

bool CreatePathFolders(const LocalPath& path) {
    // Above the folder a prefix may be a drive or a share that cannot be listed or made: only the folder
    // itself must be there in the end.
    const std::wstring& folder = path.folder;
    for (size_t at = folder.find_first_of(L"\\/", 1); at != std::wstring::npos;
         at = folder.find_first_of(L"\\/", at + 1)) {
        const LocalPath above{folder.substr(0, at), {}};
        if (!LocalPathExists(above))
            (void)LocalMakeFolder(above); // one that stays missing fails at the folder itself
    }
    if (!MakeFolder({folder, {}}))
        return false;
    // Only a whole-character backslash ends a folder: in code page 936 it is also the second byte of
    // characters such as 誠, whose names must not be cut in two.
    for (size_t at : path_policy::Separators(path.relative))
        if (!MakeFolder({folder, path.relative.substr(0, at)}))
            return false;
    return true;
}
