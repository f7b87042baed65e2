#include "install/tunzip.h"

#include "install/win_raii.h"

#include <minizip/unzip.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr size_t kPathBytes = MAX_PATH;
constexpr unsigned kCopyBytes = 2048;
constexpr uint32_t kEncryptedFlag = 0x1;
constexpr uint32_t kDosDirectory = 0x10;

// "警告" and the question in code page 936: the file cannot be overwritten, it may be in use; stop the
// upgrade?
constexpr char kPromptTitle[] = "\xbe\xaf\xb8\xe6";
constexpr char kPromptFormat[] = "\xce\xde\xb7\xa8\xb8\xb2\xb8\xc7\xce\xc4\xbc\xfe\"%s\","
                                 "\xb8\xc3\xce\xc4\xbc\xfe\xbf\xc9\xc4\xdc\xd5\xfd\xb1\xbb\xca\xb9\xd3\xc3!\n"
                                 "\xca\xc7\xb7\xf1\xd6\xd5\xd6\xb9\xc9\xfd\xbc\xb6?";

int AskUser(const char* text, const char* title) {
    return MessageBoxA(nullptr, text, title, MB_ABORTRETRYIGNORE | MB_DEFBUTTON1);
}

OverwritePromptFn prompt = AskUser;

enum class Opened { File, Skip, Fail };

// Creates the target, asking the user for as long as it cannot be created.
Opened CreateTarget(const char* target, const char* entryName, install::UniqueHandle& file) {
    for (;;) {
        file.Reset(
            CreateFileA(target, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
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

void SetOverwritePromptForTesting(OverwritePromptFn fn) {
    prompt = fn ? fn : AskUser;
}

TUnzip::TUnzip(const char* archivePath) {
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
    outputFolder_[0] = '\0';
}

bool TUnzip::Open(const char* archivePath) {
    Close();
    if (!archivePath || !*archivePath)
        return false;
    char full[kPathBytes] = {};
    DWORD n = GetFullPathNameA(archivePath, sizeof full, full, nullptr);
    if (n == 0 || n >= sizeof full)
        return false;
    archive_ = unzOpen(full);
    if (!archive_)
        return false;
    // Drive and directory of the archive, ending in its last separator.
    const char* slash = std::strrchr(full, '\\');
    size_t keep = slash ? size_t(slash - full) + 1 : 0;
    std::memcpy(outputFolder_, full, keep);
    outputFolder_[keep] = '\0';
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
    for (char* c = info.fileName; *c; ++c)
        if (*c == '/')
            *c = '\\';
    info.isFolder = (info.externalAttributes & kDosDirectory) != 0;
    return true;
}

bool TUnzip::UnzipFile(const char* folder) {
    if (!archive_)
        return false;
    if (!folder)
        folder = outputFolder_;
    if (!CreateFolder(folder))
        return false;
    UnzipFileInfo info;
    if (!GetFileInfo(info))
        return false;

    char target[kPathBytes];
    if (!JoinEntryPath(folder, info.fileName, target))
        return false;
    const size_t nameLength = std::strlen(info.fileName);
    // A name ending in a separator is a folder even when the archive did not set the attribute.
    if (info.isFolder || (nameLength > 0 && info.fileName[nameLength - 1] == '\\'))
        return CreateFolder(target);
    // No password is ever given, so an encrypted entry's contents cannot be produced.
    if (info.flags & kEncryptedFlag)
        return false;

    char parent[kPathBytes];
    std::memcpy(parent, target, sizeof parent);
    char* cut = std::strrchr(parent, '\\');
    if (!cut)
        return false;
    *cut = '\0';
    if (!CreateFolder(parent))
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

bool TUnzip::UnzipTo(const char* folder) {
    if (!archive_ || !folder || !CreateFolder(folder))
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

bool TUnzip::SetFileModTime(const char* path, uint32_t dosDateTime) {
    install::UniqueHandle file(CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                           FILE_ATTRIBUTE_NORMAL, nullptr));
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

bool UnzipArchive(const char* archivePath, const char* folder) {
    TUnzip unzip;
    if (!unzip.Open(archivePath))
        return false;
    return unzip.UnzipTo(folder);
}
