#include "service/download_writer.h"

#include "core/printable.h"
#include "service/local_fs.h"
#include "service/path_folders.h"
#include "service/path_policy.h"

#include <cerrno>
#include <cstdio>

DownloadWriter::DownloadWriter(size_t bufferSize) : bufferSize_(bufferSize) {}

DownloadWriter::~DownloadWriter() {
    Discard();
}

namespace {

Error WriteFailed(const LocalPath& path) {
    const int code = errno; // before the message's text is made
    return Error(ErrorKind::kIo, "cannot write " + Printable(LocalPathText(path)), code);
}

} // namespace

Status DownloadWriter::Place(const std::wstring& folder, const messages::FileChunk& chunk) {
    if (!placedPath_.folder.empty() && chunk.RelDir == lastRelDir_ && chunk.FileName == lastFileName_ &&
        folder == lastFolder_)
        return Ok();
    placedPath_ = {};
    if (Status safe = IsSafeDownloadPath(chunk.RelDir, chunk.FileName); !safe)
        return Error(ErrorKind::kInvalid, "Unsafe path (" + safe.error().message() + ") " +
                                              Printable(chunk.RelDir) + Printable(chunk.FileName));
    LocalPath path{folder, std::string(chunk.RelDir) + std::string(chunk.FileName)};
    if (folder.empty() || folder.size() + 1 + path.relative.size() > kMaxLocalPath) {
        placedPath_ = std::move(path); // for the log line
        lastFolder_.clear();
        return Error(ErrorKind::kInvalid, "Path too long " + Printable(PathText()));
    }
    const LocalPath folders{folder, std::string(chunk.RelDir)};
    if (!(folders == madeFolder_)) {
        CreatePathFolders(path);
        madeFolder_ = folders;
    }
    lastFolder_ = folder;
    lastRelDir_ = chunk.RelDir;
    lastFileName_ = chunk.FileName;
    placedPath_ = std::move(path);
    return Ok();
}

Status DownloadWriter::Append(const LocalPath& path, std::span<const uint8_t> data) {
    if (!file_ || !(path == openPath_)) {
        const LocalPath closing = openPath_;
        if (!Close())
            return WriteFailed(closing);
        openPath_ = path;
        file_ = LocalOpenFile(path, "wb");
        if (!file_)
            return WriteFailed(path);
        if (!buffer_)
            buffer_ = std::make_unique<char[]>(bufferSize_);
        std::setvbuf(file_.Get(), buffer_.get(), _IOFBF, bufferSize_);
        // Opened with "wb": a name that comes again starts its file, and its size, from empty.
        auto [at, added] = receivedIndex_.try_emplace(path.relative, received_.size());
        if (added)
            received_.push_back({path.relative, 0});
        openEntry_ = at->second;
        received_[openEntry_].size = 0;
    }
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file_.Get()) != data.size())
        return WriteFailed(path);
    received_[openEntry_].size += data.size();
    return Ok();
}

Status DownloadWriter::Flush() {
    if (file_ && std::fflush(file_.Get()) != 0)
        return WriteFailed(openPath_);
    return Ok();
}

bool DownloadWriter::Close() {
    openPath_ = {};
    return !file_ || file_.Close();
}

void DownloadWriter::Discard() {
    openPath_ = {};
    file_.Close();
}
