// What the download path's file-system calls share on both platforms.
#include "service/local_fs.h"

Status LocalEmptyFolderExcept(const std::wstring& folder, const char* keep) {
    std::error_code ec;
    int failed = 0; // the first removal's error
    for (const auto& entry : std::filesystem::directory_iterator(LocalFolder(folder), ec)) {
        if (entry.path().filename() == std::filesystem::path(keep))
            continue;
        std::error_code removed;
        std::filesystem::remove_all(entry.path(), removed);
        if (removed && failed == 0)
            failed = removed.value();
    }
    if (ec || failed != 0)
        return Error(ErrorKind::kIo, "cannot empty " + LocalPathText({folder, {}}), ec ? ec.value() : failed);
    return Ok();
}
