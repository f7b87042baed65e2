#include "install/downloaded_files.h"

#include "core/code_page.h"
#include "install/win_raii.h"
#include "service/local_fs.h"

#include <sodium.h>
#include <windows.h>

#include <memory>

namespace {

// The install log is the installer's own file in the temporary folder, not part of the download.
constexpr std::string_view kInstallLog = "log\\install.log";
constexpr size_t kBlock = 1 << 20;

// A name found on disk back in code page 936; empty when it has no exact form there.
std::string Narrow(const wchar_t* name) {
    BOOL lossy = FALSE;
    const int size = WideCharToMultiByte(code_page::kCodePageGbk, WC_NO_BEST_FIT_CHARS, name, -1, nullptr, 0,
                                         nullptr, &lossy);
    if (size <= 1 || lossy)
        return {};
    std::string text(size_t(size), '\0');
    WideCharToMultiByte(code_page::kCodePageGbk, WC_NO_BEST_FIT_CHARS, name, -1, text.data(), size, nullptr,
                        &lossy);
    text.resize(size_t(size - 1));
    return text;
}

// A directory search; closed with FindClose, which no kernel handle owner does.
struct FindHandle {
    FindHandle() = default;
    FindHandle(const FindHandle&) = delete;
    FindHandle& operator=(const FindHandle&) = delete;
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~FindHandle() {
        if (handle != INVALID_HANDLE_VALUE)
            FindClose(handle);
    }
};

HANDLE OpenForReading(const std::wstring& path) {
    if (path.empty())
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                       FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
}

bool HashFile(const std::wstring& path, package_manifest::FileEntry& entry, const std::atomic<bool>& stop) {
    install::UniqueHandle file(OpenForReading(path));
    if (!file.Valid())
        return false;
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    auto block = std::make_unique<unsigned char[]>(kBlock);
    entry.size = 0;
    for (;;) {
        if (stop)
            return false;
        DWORD got = 0;
        if (!ReadFile(file.Get(), block.get(), DWORD(kBlock), &got, nullptr))
            return false;
        if (got == 0)
            break;
        crypto_hash_sha256_update(&state, block.get(), got);
        entry.size += got;
    }
    crypto_hash_sha256_final(&state, entry.sha256.data());
    return true;
}

bool HashFolder(const std::wstring& tempDir, const std::string& relative,
                std::vector<package_manifest::FileEntry>& files, const std::atomic<bool>& stop,
                std::string* failed) {
    FindHandle find;
    WIN32_FIND_DATAW data{};
    const std::wstring pattern = DownloadedFilePath(tempDir, relative + "*");
    find.handle = pattern.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern.c_str(), &data);
    if (find.handle == INVALID_HANDLE_VALUE) {
        *failed = relative;
        return false;
    }
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
            continue;
        const std::string name = Narrow(data.cFileName);
        if (name.empty()) {
            *failed = relative + "?";
            return false;
        }
        const std::string path = relative + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (!HashFolder(tempDir, path + "\\", files, stop, failed))
                return false;
            continue;
        }
        if (path == kInstallLog)
            continue;
        package_manifest::FileEntry entry;
        entry.path = path;
        if (!HashFile(DownloadedFilePath(tempDir, path), entry, stop)) {
            *failed = path;
            return false;
        }
        files.push_back(std::move(entry));
    } while (FindNextFileW(find.handle, &data));
    if (GetLastError() != ERROR_NO_MORE_FILES) {
        *failed = relative;
        return false;
    }
    return true;
}

} // namespace

std::wstring DownloadedFilePath(const std::wstring& tempDir, std::string_view relative) {
    return LocalWidePath({tempDir, std::string(relative)});
}

std::optional<std::string> ReadDownloadedFile(const std::wstring& tempDir, std::string_view relative,
                                              size_t limit) {
    install::UniqueHandle file(OpenForReading(DownloadedFilePath(tempDir, relative)));
    LARGE_INTEGER size{};
    if (!file.Valid() || !GetFileSizeEx(file.Get(), &size) || uint64_t(size.QuadPart) > limit)
        return std::nullopt;
    std::string text(size_t(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text.empty() &&
        (!ReadFile(file.Get(), text.data(), DWORD(text.size()), &got, nullptr) || got != text.size()))
        return std::nullopt;
    return text;
}

bool HashDownloadedFiles(const std::wstring& tempDir, std::vector<package_manifest::FileEntry>& files,
                         const std::atomic<bool>& stop, std::string* failed) {
    std::string ignored;
    return HashFolder(tempDir, "", files, stop, failed ? failed : &ignored);
}

std::optional<std::pair<uint32_t, uint32_t>> InstalledVersion(const std::wstring& installDir) {
    wchar_t text[100] = {};
    const std::wstring path = installDir + L"\\update.ini";
    GetPrivateProfileStringW(L"version", L"cur", L"", text, 100, path.c_str());
    std::string digits; // a version is digits and dots: anything else makes it unreadable
    for (const wchar_t* c = text; *c; ++c)
        digits.push_back(*c < 0x80 ? char(*c) : '?');
    return package_manifest::ParseInstalledVersion(digits);
}
