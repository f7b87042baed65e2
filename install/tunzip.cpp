#include "install/tunzip.h"

#include "core/code_page.h"
#include "install/win_raii.h"
#include "service/path_policy.h"

#include <minizip/unzip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kPathUnits = MAX_PATH;
constexpr size_t kWideUnits = 1024;
constexpr unsigned kCopyBytes = 2048;
constexpr uint32_t kEncryptedFlag = 0x1;
constexpr uint32_t kDosDirectory = 0x10;

// "警告" and the question in code page 936: the file cannot be overwritten, it may be in use; stop the
// upgrade?
constexpr char kPromptTitle[] = "\xbe\xaf\xb8\xe6";
constexpr char kPromptFormat[] = "\xce\xde\xb7\xa8\xb8\xb2\xb8\xc7\xce\xc4\xbc\xfe\"%s\","
                                 "\xb8\xc3\xce\xc4\xbc\xfe\xbf\xc9\xc4\xdc\xd5\xfd\xb1\xbb\xca\xb9\xd3\xc3!\n"
                                 "\xca\xc7\xb7\xf1\xd6\xd5\xd6\xb9\xc9\xfd\xbc\xb6?";

HWND promptOwner = nullptr;

// Owned by the dialog and topmost, so the question shows above the topmost dialog instead of under it.
// Shown in UTF-16: the texts are code page 936 whatever the system's own code page is.
int AskUser(const char* text, const char* title) {
    const std::wstring wideText = code_page::WideFromGbk(text, kWideUnits);
    const std::wstring wideTitle = code_page::WideFromGbk(title, kWideUnits);
    return MessageBoxW(promptOwner, wideText.c_str(), wideTitle.c_str(),
                       MB_ABORTRETRYIGNORE | MB_DEFBUTTON1 | MB_TOPMOST | MB_SETFOREGROUND);
}

OverwritePromptFn prompt = AskUser;

HANDLE CreateFileWide(const std::wstring& path, DWORD access, DWORD disposition) {
    if (path.empty())
        return INVALID_HANDLE_VALUE;
    return CreateFileW(path.c_str(), access, 0, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// minizip opens the archive through this: its path is the UTF-16 one, never bent through the system's
// code page on its way to the file system.
voidpf ZCALLBACK OpenWide(voidpf, const void* filename, int mode) {
    if (!filename || (mode & ZLIB_FILEFUNC_MODE_READWRITEFILTER) != ZLIB_FILEFUNC_MODE_READ)
        return nullptr;
    return _wfopen(static_cast<const wchar_t*>(filename), L"rb");
}

enum class Opened { File, Skip, Fail };

// Creates the target, asking the user for as long as it cannot be created.
Opened CreateTarget(const std::wstring& target, const char* entryName, install::UniqueHandle& file) {
    for (;;) {
        file.Reset(CreateFileWide(target, GENERIC_WRITE, CREATE_ALWAYS));
        if (file.Valid())
            return Opened::File;
        char text[1024] = {};
        std::snprintf(text, sizeof text, kPromptFormat, entryName);
        switch (prompt(text, kPromptTitle)) {
        case IDRETRY:
            continue;
        case IDIGNORE:
            return Opened::Skip;
        default: // Abort, or a question that could not be shown: never loop without an answer
            return Opened::Fail;
        }
    }
}

} // namespace

void SetOverwritePromptOwner(void* window) {
    promptOwner = static_cast<HWND>(window);
}

void SetOverwritePromptForTesting(OverwritePromptFn fn) {
    prompt = fn ? fn : AskUser;
}

void AbortOverwritesUnattended() {
    prompt = [](const char*, const char*) { return int(IDABORT); };
}

TUnzip::TUnzip(const std::wstring& archivePath) {
    Open(archivePath);
}

TUnzip::~TUnzip() {
    Close();
}

void TUnzip::Close() {
    if (archive_) {
        unzCloseCurrentFile(archive_);
        unzClose(archive_);
        archive_ = nullptr;
    }
    outputFolder_.clear();
}

bool TUnzip::Open(const std::wstring& archivePath) {
    Close();
    if (archivePath.empty())
        return false;
    wchar_t full[kPathUnits] = {};
    DWORD n = GetFullPathNameW(archivePath.c_str(), kPathUnits, full, nullptr);
    if (n == 0 || n >= kPathUnits)
        return false;
    zlib_filefunc64_def files;
    fill_fopen64_filefunc(&files);
    files.zopen64_file = OpenWide;
    archive_ = unzOpen2_64(full, &files);
    if (!archive_)
        return false;
    // Drive and directory of the archive, ending in its last separator.
    const std::wstring path(full, n);
    const size_t slash = path.find_last_of(L"\\/");
    outputFolder_ = path.substr(0, slash == std::wstring::npos ? 0 : slash + 1);
    return true;
}

bool TUnzip::GetFileInfo(UnzipFileInfo& info) {
    if (!archive_)
        return false;
    std::memset(&info, 0, sizeof info);
    unz_file_info raw = {};
    // The buffers are one byte longer than declared to minizip, so a full-length name stays terminated.
    if (unzGetCurrentFileInfo(archive_, &raw, info.fileName, sizeof info.fileName - 1, nullptr, 0,
                              info.comment, sizeof info.comment - 1) != UNZ_OK)
        return false;
    info.versionMadeBy = uint32_t(raw.version);
    info.versionNeeded = uint32_t(raw.version_needed);
    info.flags = uint32_t(raw.flag);
    info.compressionMethod = uint32_t(raw.compression_method);
    info.dosDateTime = uint32_t(raw.dosDate);
    info.crc = uint32_t(raw.crc);
    info.compressedSize = uint32_t(raw.compressed_size);
    info.uncompressedSize = uint32_t(raw.uncompressed_size);
    info.internalAttributes = uint32_t(raw.internal_fa);
    info.externalAttributes = uint32_t(raw.external_fa);
    const std::string name = path_policy::ToBackslashes(info.fileName);
    std::memcpy(info.fileName, name.c_str(), name.size() + 1);
    info.isFolder = (info.externalAttributes & kDosDirectory) != 0;
    return true;
}

bool TUnzip::UnzipFile(const std::wstring& given) {
    if (!archive_)
        return false;
    const std::wstring& folder = given.empty() ? outputFolder_ : given;
    if (!CreateFolder(folder))
        return false;
    UnzipFileInfo info;
    if (!GetFileInfo(info))
        return false;

    const auto joined = JoinEntryPath(folder, info.fileName);
    if (!joined)
        return false;
    const std::wstring& target = *joined;
    const size_t nameLength = std::strlen(info.fileName);
    // A name ending in a separator is a folder even when the archive did not set the attribute; the
    // 0x5C that ends a double-byte character is no separator.
    if (info.isFolder || (nameLength > 0 && path_policy::LastSeparator(info.fileName) == nameLength - 1))
        return CreateFolder(target);
    // No password is ever given, so an encrypted entry's contents cannot be produced.
    if (info.flags & kEncryptedFlag)
        return false;

    const size_t cut = target.find_last_of(L'\\');
    if (cut == std::wstring::npos)
        return false;
    if (!CreateFolder(target.substr(0, cut)))
        return false;

    install::UniqueHandle file;
    switch (CreateTarget(target, info.fileName, file)) {
    case Opened::Skip:
        return true;
    case Opened::Fail:
        return false;
    case Opened::File:
        break;
    }
    if (unzOpenCurrentFile(archive_) != UNZ_OK)
        return false;

    bool complete = false;
    char buffer[kCopyBytes];
    for (;;) {
        int n = unzReadCurrentFile(archive_, buffer, kCopyBytes);
        if (n == 0) {
            complete = true;
            break;
        }
        if (n < 0)
            break;
        DWORD written = 0;
        if (!WriteFile(file.Get(), buffer, DWORD(n), &written, nullptr) || written != DWORD(n))
            break;
    }
    file.Reset();
    // A CRC mismatch is reported only here; the data has been written and the entry counts.
    unzCloseCurrentFile(archive_);
    if (complete)
        SetFileModTime(target, info.dosDateTime);
    return complete;
}

long TUnzip::EntryCount() {
    unz_global_info global = {};
    if (!archive_ || unzGetGlobalInfo(archive_, &global) != UNZ_OK)
        return -1;
    return long(global.number_entry);
}

bool TUnzip::UnzipTo(const std::wstring& folder) {
    if (!archive_ || folder.empty() || !CreateFolder(folder))
        return false;
    unz_global_info global = {};
    if (unzGetGlobalInfo(archive_, &global) != UNZ_OK || global.number_entry == 0)
        return false;
    if (unzGoToFirstFile(archive_) != UNZ_OK)
        return false;
    for (;;) {
        if (!UnzipFile(folder))
            return false;
        if (unzGoToNextFile(archive_) != UNZ_OK)
            return true;
    }
}

bool TUnzip::SetFileModTime(const std::wstring& path, uint32_t dosDateTime) {
    install::UniqueHandle file(CreateFileWide(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING));
    if (!file.Valid())
        return false;
    FILETIME created, accessed, written;
    if (!GetFileTime(file.Get(), &created, &accessed, &written))
        return false;
    FILETIME local, utc;
    if (!DosDateTimeToFileTime(WORD(dosDateTime >> 16), WORD(dosDateTime & 0xffff), &local))
        return false;
    if (!LocalFileTimeToFileTime(&local, &utc))
        return false;
    return SetFileTime(file.Get(), &utc, &accessed, &utc) != FALSE;
}

bool UnzipArchive(const std::wstring& archivePath, const std::wstring& folder) {
    TUnzip unzip;
    if (!unzip.Open(archivePath))
        return false;
    return unzip.UnzipTo(folder);
}
