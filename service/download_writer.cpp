#include "service/download_writer.h"

#include "service/local_fs.h"
#include "service/path_folders.h"
#include "service/path_policy.h"

#include <cstdio>

DownloadWriter::DownloadWriter(size_t bufferSize) : bufferSize_(bufferSize) {}

DownloadWriter::~DownloadWriter() {
    Discard();
}

DownloadWriter::Status DownloadWriter::Place(const std::wstring& folder, const messages::FileChunk& chunk,
                                             const char** why) {
    if (!placedPath_.folder.empty() && chunk.RelDir == lastRelDir_ && chunk.FileName == lastFileName_ &&
        folder == lastFolder_)
        return Status::kOk;
    placedPath_ = {};
    if (!IsSafeDownloadPath(chunk.RelDir, chunk.FileName, why))
        return Status::kUnsafePath;
    LocalPath path{folder, std::string(chunk.RelDir) + std::string(chunk.FileName)};
    if (folder.empty() || folder.size() + 1 + path.relative.size() > kMaxLocalPath) {
        placedPath_ = std::move(path); // for the log line
        lastFolder_.clear();
        return Status::kPathTooLong;
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
    return Status::kOk;
}

DownloadWriter::Status DownloadWriter::Append(const LocalPath& path, std::span<const uint8_t> data) {
    if (!file_ || !(path == openPath_)) {
        if (!Close())
            return Status::kWriteFailed;
        openPath_ = path;
        file_ = LocalOpenFile(path, "wb");
        if (!file_)
            return Status::kWriteFailed;
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
        return Status::kWriteFailed;
    received_[openEntry_].size += data.size();
    return Status::kOk;
}

bool DownloadWriter::Flush() {
    return !file_ || std::fflush(file_.Get()) == 0;
}

bool DownloadWriter::Close() {
    openPath_ = {};
    return !file_ || file_.Close();
}

void DownloadWriter::Discard() {
    openPath_ = {};
    file_.Close();
}
