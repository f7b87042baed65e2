// Writes the chunks of a download below one folder: checks each file's names (IsSafeDownloadPath),
// builds its local path, makes the folders of that path, keeps the file open between its chunks behind
// a large buffer, and says what went wrong, so the download client only decides what a failure means.
//
// Threads: Place touches only what it keeps about the last names it placed, and belongs to the one
// thread that receives the chunks. Append, Flush, Close and Discard touch the open file; the caller
// serialises them (the download client holds its run lock, so Stop on another thread can close the
// file between two chunks but never during one).
#pragma once

#include "core/result.h"
#include "core/unique_file.h"
#include "service/local_fs.h"
#include "service/messages.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

// A file the download wrote: its path below the download folder as it came off the wire (code page 936,
// RelDir and FileName joined, backslashes) and the bytes written into it.
struct ReceivedFile {
    std::string path;
    uint64_t size = 0;
    bool operator==(const ReceivedFile&) const = default;
};

class DownloadWriter {
  public:
    // "%s\%s%s" into a 255-byte buffer: the path and its NUL must fit. Counted as the folder's units and
    // the names' bytes, never fewer than the names' UTF-16 units.
    static constexpr size_t kMaxLocalPath = 254;
    // Chunks are about 1 KB each: the buffer turns them into few big writes. It is kept small enough to
    // stay in the core's cache with the packet areas: the system's copy out of a 1 MiB buffer was
    // measured to cost the receive thread about as much as the decoding itself, out of 256 KiB a third.
    static constexpr size_t kDefaultBuffer = 1 << 18;

    explicit DownloadWriter(size_t bufferSize = kDefaultBuffer);
    ~DownloadWriter(); // closes the open file; nothing is reported any more
    DownloadWriter(const DownloadWriter&) = delete;
    DownloadWriter& operator=(const DownloadWriter&) = delete;

    // The local path of a chunk below folder, after its names passed the path check, and its folders
    // made. A refusal is kInvalid, its message the log's words for it: "Unsafe path (<what was wrong>)
    // <names>" or "Path too long <path>". Path() is the path checked, or built, last. A folder that
    // cannot be made is shown (CreatePathFolders) and left to the write to fail on.
    Status Place(const std::wstring& folder, const messages::FileChunk& chunk);
    const LocalPath& Path() const { return placedPath_; }
    // Path() as one code page 936 text, for log lines.
    std::string PathText() const { return LocalPathText(placedPath_); }

    // Appends data to the file at path, which is opened with "wb" (created, or emptied) unless it is
    // the file already open; the file open before is closed first. kIo when the file cannot be opened
    // or written, or the file closed on the way did not take its last bytes.
    Status Append(const LocalPath& path, std::span<const uint8_t> data);
    // Hands the open file's buffered bytes to the system: kIo when they could not be written.
    Status Flush();
    // Closes the open file: false when its last bytes could not be written.
    bool Close();
    // Drops the open file without caring what became of its buffered bytes (the download failed).
    void Discard();
    bool FileOpen() const { return bool(file_); }

    // Every file written so far, in the order each was first opened, with the bytes handed to it since
    // it was last (re)started. Under the same serialisation as Append.
    const std::vector<ReceivedFile>& ReceivedFiles() const { return received_; }
    // ReceivedFiles()'s entry of the file open now (meaningful while FileOpen()).
    size_t OpenEntry() const { return openEntry_; }

  private:
    // Place's memory of the last names: a file arrives as a run of records with the same names, so
    // the check, the path and the folders are made once per file rather than once per kilobyte.
    std::wstring lastFolder_;
    std::string lastRelDir_, lastFileName_;
    LocalPath placedPath_, madeFolder_;

    size_t bufferSize_;
    // The open file's stdio buffer; declared before the file so that it outlives it. Given by us
    // because a C library may ignore the size asked for when it is to allocate the buffer itself.
    std::unique_ptr<char[]> buffer_;
    UniqueFile file_;
    LocalPath openPath_;
    std::vector<ReceivedFile> received_;
    std::unordered_map<std::string, size_t> receivedIndex_; // path -> position in received_
    size_t openEntry_ = 0;                                  // received_'s entry of the open file
};
