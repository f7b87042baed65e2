// Turns queued modules into download chunks, reading each file from disk only as far as the next
// message needs: memory stays at one message's worth of data whatever the package size.
//
// Order on the wire: the modules in request order, each module's files one after the other, each file
// in chunks of at most 1001 bytes, ModuleEnd on the last chunk of the module. One call never mixes
// chunks of two files, so a file's messages come out the same in every download and can be kept (see
// MessageCache). An empty file is one chunk of DataLen 0, which makes the installer create it. A
// module without files still needs a chunk that carries its ModuleEnd, and the installer opens the
// path that chunk names; it names "module.info" in the download folder with DataLen 0, a file the
// installer rewrites from scratch once the download is complete, so the empty file it creates there
// is harmless.
#pragma once

#include "core/result.h"
#include "publisher/package/file_stamp.h"
#include "publisher/package/package.h"
#include "publisher/ops/unique_fd.h"
#include "service/messages.h"

#include <deque>
#include <string>
#include <vector>

namespace publisher {

constexpr const char* kEmptyModuleFile = "module.info";

class ChunkStream {
  public:
    ChunkStream() = default;
    ~ChunkStream();
    ChunkStream(const ChunkStream&) = delete;
    ChunkStream& operator=(const ChunkStream&) = delete;

    void Enqueue(const PackageModule* module) { queue_.push_back(module); }
    // A file found to be this one when it is opened (linked into a module folder after the package
    // was loaded) is refused as unreadable.
    void Forbid(uint64_t device, uint64_t inode) {
        forbiddenDevice_ = device;
        forbiddenInode_ = inode;
    }
    size_t Queued() const { return queue_.size(); }
    bool Active() const { return !queue_.empty(); }
    const PackageModule* Front() const { return queue_.empty() ? nullptr : queue_.front(); }
    bool Holds(const PackageModule* module) const;

    // Appends up to `max` chunks of one file (or the one chunk of a module without files) to `chunks`;
    // their Data points into this object and stays valid until the next call. A failure: a file could not
    // be read (a link on its way included), is not the file loaded (its stamp differs from the one
    // recorded at load), or changed since it was opened (the message says which); the stream is then
    // empty. A file is sent as it was when opened or not at all: its last chunk goes out only when
    // nothing changed up to its last read.
    Status Next(std::vector<messages::FileChunk>& chunks, size_t max);

    // The file whose first chunk comes next; null in the middle of a file, before a module without
    // files, or at the end.
    const PackageFile* UpcomingFile() const;
    // Moves past UpcomingFile() as if its `bytes` had been read and sent.
    void SkipFile(uint64_t bytes);
    // Whether the last Next call sent the last chunk of a file, and that file's stamp when it was opened.
    bool FileFinished() const { return fileFinished_; }
    const FileStamp& OpenedStamp() const { return stamp_; }

    uint64_t BytesRead() const { return bytesRead_; }
    // Gives the read buffer back once the stream is empty, so an idle connection holds none; the
    // chunks of the last Next point into it, so only once they have been encoded.
    void ReleaseIdle();

  private:
    void CloseFile();
    void Abort();
    void FileDone(const PackageModule* module);

    std::deque<const PackageModule*> queue_;
    size_t fileIndex_ = 0;
    UniqueFd fd_;
    uint64_t offset_ = 0;
    uint64_t size_ = 0; // the file's size when it was opened: what is sent
    FileStamp stamp_;   // of the file opened last
    bool fileFinished_ = false;
    std::vector<uint8_t> data_;
    uint64_t bytesRead_ = 0;
    uint64_t forbiddenDevice_ = 0;
    uint64_t forbiddenInode_ = 0;
};

} // namespace publisher
