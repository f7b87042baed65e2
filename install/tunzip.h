// Zip extraction over minizip's reading interface. Paths are the system's UTF-16 paths; entry names are
// code page 936 texts, converted where they are joined to a folder.
// Main thread only: a locked target file asks the user, which blocks until answered.
#pragma once

#include "core/result.h"

#include <cstdint>
#include <string>

typedef void* unzFile;

// The current entry as the archive describes it.
struct UnzipFileInfo {
    char fileName[261]; // as stored, with every "/" turned into "\"
    char comment[256];
    uint32_t versionMadeBy;
    uint32_t versionNeeded;
    uint32_t flags;             // general-purpose bit flags; bit 0: encrypted
    uint32_t compressionMethod; // 0 stored, 8 deflated
    uint32_t dosDateTime;       // DOS date in the high 16 bits, DOS time in the low 16 bits
    uint32_t crc;
    uint32_t compressedSize;
    uint32_t uncompressedSize;
    uint32_t internalAttributes;
    uint32_t externalAttributes;
    bool isFolder; // the MS-DOS directory attribute (0x10)
};

class TUnzip {
  public:
    explicit TUnzip(const std::wstring& archivePath = {});
    virtual ~TUnzip();
    TUnzip(const TUnzip&) = delete;
    TUnzip& operator=(const TUnzip&) = delete;

    // Closes whatever is open, then opens the archive; true when an archive is now open.
    bool Open(const std::wstring& archivePath);
    // Harmless when nothing is open.
    void Close();
    bool GetFileInfo(UnzipFileInfo& info);
    // Entries in the open archive; -1 when none is open or the directory cannot be read.
    long EntryCount();
    // Extracts the current entry below folder (empty: the folder that holds the archive).
    bool UnzipFile(const std::wstring& folder = {});
    // Extracts every entry in central-directory order; the first entry that fails stops it.
    bool UnzipTo(const std::wstring& folder);

    // Creates every missing folder of path.
    static bool CreateFolder(const std::wstring& path);
    // Stamps creation and last-write time with a DOS date/time taken as local time.
    static bool SetFileModTime(const std::wstring& path, uint32_t dosDateTime);

    const std::wstring& OutputFolder() const { return outputFolder_; }

  private:
    unzFile archive_ = nullptr;
    std::wstring outputFolder_;
};

// Opens the archive and extracts all of it below folder; false when it cannot be opened.
bool UnzipArchive(const std::wstring& archivePath, const std::wstring& folder);

// Joins folder and an archive entry name (code page 936). Refuses, as kInvalid, names that would land
// outside folder (absolute, a drive or stream colon, a ".." component), names that are not code page
// 936, and joined paths over 259 characters.
Result<std::wstring> JoinEntryPath(const std::wstring& folder, const char* entryName);

// The window that owns the overwrite question (the main dialog); null leaves it owner-less, still topmost.
void SetOverwritePromptOwner(void* window);

// The question asked while a target file cannot be created: returns IDABORT, IDRETRY or IDIGNORE.
// Tests answer it through SetOverwritePromptForTesting (null restores the message box).
using OverwritePromptFn = int (*)(const char* text, const char* title);
void SetOverwritePromptForTesting(OverwritePromptFn prompt);
// An install nobody watches: the question is answered Abort at once, so the install fails cleanly
// (the earlier installation kept) instead of waiting for a click that never comes.
void AbortOverwritesUnattended();
