#include "install/downloaded_files.h"

#include "core/code_page.h"
#include "install/win_raii.h"
#include "service/local_fs.h"

#include <sodium.h>
#include <windows.h>

#include <memory>
#include <string>

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

// The error's message is the download path concerned, as HashDownloadedFiles promises.
Status HashFile(const std::wstring& path, const std::string& relative, package_manifest::FileEntry& entry,
                const std::atomic<bool>& stop) {
    install::UniqueHandle file(OpenForReading(path));
    if (!file.Valid())
        return Error(ErrorKind::kIo, relative, int(GetLastError()));
    crypto_hash_sha256_state state;
    crypto_hash_sha256_init(&state);
    auto block = std::make_unique<unsigned char[]>(kBlock);
    entry.size = 0;
    for (;;) {
        if (stop)
            return Error(ErrorKind::kCancelled, relative);
        DWORD got = 0;
        if (!ReadFile(file.Get(), block.get(), DWORD(kBlock), &got, nullptr))
            return Error(ErrorKind::kIo, relative, int(GetLastError()));
        if (got == 0)
            break;
        crypto_hash_sha256_update(&state, block.get(), got);
        entry.size += got;
    }
    crypto_hash_sha256_final(&state, entry.sha256.data());
    return Ok();
}

Status HashFolder(const std::wstring& tempDir, const std::string& relative,
                  std::vector<package_manifest::FileEntry>& files, const std::atomic<bool>& stop) {
    FindHandle find;
    WIN32_FIND_DATAW data{};
    const std::wstring pattern = DownloadedFilePath(tempDir, relative + "*");
    find.handle = pattern.empty() ? INVALID_HANDLE_VALUE : FindFirstFileW(pattern.c_str(), &data);
    if (find.handle == INVALID_HANDLE_VALUE)
        return Error(ErrorKind::kIo, relative, int(GetLastError()));
    do {
        if (wcscmp(data.cFileName, L".") == 0 || wcscmp(data.cFileName, L"..") == 0)
            continue;
        const std::string name = Narrow(data.cFileName);
        if (name.empty())
            return Error(ErrorKind::kIo, relative + "?");
        const std::string path = relative + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (Status listed = HashFolder(tempDir, path + "\\", files, stop); !listed)
                return listed;
            continue;
        }
        if (path == kInstallLog)
            continue;
        package_manifest::FileEntry entry;
        entry.path = path;
        if (Status hashed = HashFile(DownloadedFilePath(tempDir, path), path, entry, stop); !hashed)
            return hashed;
        files.push_back(std::move(entry));
    } while (FindNextFileW(find.handle, &data));
    if (const DWORD ended = GetLastError(); ended != ERROR_NO_MORE_FILES)
        return Error(ErrorKind::kIo, relative, int(ended));
    return Ok();
}

} // namespace

std::wstring DownloadedFilePath(const std::wstring& tempDir, std::string_view relative) {
    return LocalWidePath({tempDir, std::string(relative)});
}

Result<std::string> ReadDownloadedFile(const std::wstring& tempDir, std::string_view relative, size_t limit) {
    install::UniqueHandle file(OpenForReading(DownloadedFilePath(tempDir, relative)));
    if (!file.Valid())
        return Error(ErrorKind::kNotFound, std::string(relative), int(GetLastError()));
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file.Get(), &size))
        return Error(ErrorKind::kIo, std::string(relative), int(GetLastError()));
    if (uint64_t(size.QuadPart) > limit)
        return Error(ErrorKind::kInvalid, std::string(relative) + " is larger than " + std::to_string(limit));
    std::string text(size_t(size.QuadPart), '\0');
    DWORD got = 0;
    if (!text.empty() &&
        (!ReadFile(file.Get(), text.data(), DWORD(text.size()), &got, nullptr) || got != text.size()))
        return Error(ErrorKind::kIo, std::string(relative), int(GetLastError()));
    return text;
}

Result<std::vector<package_manifest::FileEntry>> HashDownloadedFiles(const std::wstring& tempDir,
                                                                     const std::atomic<bool>& stop) {
    std::vector<package_manifest::FileEntry> files;
    if (Status hashed = HashFolder(tempDir, "", files, stop); !hashed)
        return hashed.error();
    return files;
}

Result<std::pair<uint32_t, uint32_t>> InstalledVersion(const std::wstring& installDir) {
    wchar_t text[100] = {};
    const std::wstring path = installDir + L"\\update.ini";
    GetPrivateProfileStringW(L"version", L"cur", L"", text, 100, path.c_str());
    if (text[0] == 0)
        return Error(ErrorKind::kNotFound, "no installed version");
    std::string digits; // a version is digits and dots: anything else makes it unreadable
    for (const wchar_t* c = text; *c; ++c)
        digits.push_back(*c < 0x80 ? char(*c) : '?');
    const auto version = package_manifest::ParseInstalledVersion(digits);
    if (!version)
        return Error(ErrorKind::kInvalid, "not a version: " + digits);
    return *version;
}
