#include "examples/uninstaller/tree_removal.h"

#include <windows.h>

namespace sample {
namespace {

// A directory search, closed once.
class FindHandle {
  public:
    explicit FindHandle(HANDLE h) : h_(h) {}
    ~FindHandle() {
        if (h_ != INVALID_HANDLE_VALUE)
            FindClose(h_);
    }
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE Get() const { return h_; }
    bool Valid() const { return h_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE h_;
};

bool IsDotEntry(const wchar_t* name) {
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool DeleteOneFile(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return DeleteFileW(path.c_str()) != 0;
}

bool RemoveFolder(const std::wstring& path, DWORD attributes) {
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    return RemoveDirectoryW(path.c_str()) != 0;
}

} // namespace

bool DeleteTree(const std::wstring& folder, std::vector<std::wstring>& failed) {
    const DWORD rootAttributes = GetFileAttributesW(folder.c_str());
    if (rootAttributes == INVALID_FILE_ATTRIBUTES)
        return true;
    if (!(rootAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        if (DeleteOneFile(folder, rootAttributes))
            return true;
        failed.push_back(folder);
        return false;
    }
    const size_t failedBefore = failed.size();
    if (!(rootAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW found;
        FindHandle search(FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found,
                                           FindExSearchNameMatch, nullptr, 0));
        if (search.Valid()) {
            do {
                if (IsDotEntry(found.cFileName))
                    continue;
                const std::wstring path = folder + L"\\" + found.cFileName;
                const DWORD attributes = found.dwFileAttributes;
                if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                        if (!RemoveFolder(path, attributes))
                            failed.push_back(path);
                    } else {
                        DeleteTree(path, failed);
                    }
                } else if (!DeleteOneFile(path, attributes)) {
                    failed.push_back(path);
                }
            } while (FindNextFileW(search.Get(), &found));
        }
    }
    // A folder that still holds something cannot go; its contents are already listed.
    if (!RemoveFolder(folder, rootAttributes) && failed.size() == failedBefore)
        failed.push_back(folder);
    return failed.size() == failedBefore;
}

} // namespace sample
