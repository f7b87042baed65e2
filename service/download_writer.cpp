#include "service/download_writer.h"

#include "service/local_fs.h"
#include "service/path_folders.h"
#include "service/process_dl.h"

#include <cstdio>

DownloadWriter::DownloadWriter(size_t bufferSize) : bufferSize_(bufferSize) {}

DownloadWriter::~DownloadWriter() {
    Discard();
}

DownloadWriter::Status DownloadWriter::Place(const std::string& folder, const messages::FileChunk& chunk,
                                             const char** why) {
    if (!placedPath_.empty() && chunk.RelDir == lastRelDir_ && chunk.FileName == lastFileName_ &&
        folder == lastFolder_)
        return Status::kOk;
    placedPath_.clear();
    if (!IsSafeDownloadPath(chunk.RelDir, chunk.FileName, why))
        return Status::kUnsafePath;
    std::string path = folder + "\\" + std::string(chunk.RelDir) + std::string(chunk.FileName);
    if (path.size() > kMaxLocalPath) {
        placedPath_ = std::move(path); // for the log line
        lastFolder_.clear();
        return Status::kPathTooLong;
    }
    const std::string folders = path.substr(0, path.rfind('\\') + 1);
    if (folders != madeFolder_) {
        CreatePathFolders(path);
        madeFolder_ = folders;
    }
    lastFolder_ = folder;
    lastRelDir_ = chunk.RelDir;
    lastFileName_ = chunk.FileName;
    placedPath_ = std::move(path);
    return Status::kOk;
}

DownloadWriter::Status DownloadWriter::Append(const std::string& path, std::span<const uint8_t> data) {
    if (!file_ || path != openPath_) {
        if (!Close())
            return Status::kWriteFailed;
        openPath_ = path;
        file_ = LocalOpenFile(path, "wb");
        if (!file_)
            return Status::kWriteFailed;
        if (!buffer_)
            buffer_ = std::make_unique<char[]>(bufferSize_);
        std::setvbuf(file_.Get(), buffer_.get(), _IOFBF, bufferSize_);
    }
    if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file_.Get()) != data.size())
        return Status::kWriteFailed;
    return Status::kOk;
}

bool DownloadWriter::Flush() {
    return !file_ || std::fflush(file_.Get()) == 0;
}

bool DownloadWriter::Close() {
    openPath_.clear();
    return !file_ || file_.Close();
}

void DownloadWriter::Discard() {
    openPath_.clear();
    file_.Close();
}
