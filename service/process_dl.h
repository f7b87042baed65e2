// The download client: asks the download server for every module still to install and writes the
// file chunks it answers with below TempDir, reporting each finished module and the end of the whole
// download to the interface.
//
// Threads: SetServer, Connect, Stop and DownloadModule run on the interface thread. OnMessage,
// OnAuthentLink and OnLogin run on the connection's receive thread; OnClientDisconnect runs on whichever
// thread closed the connection. The download state is guarded by one mutex that is never held while
// notifying the interface or closing the connection.
#pragma once

#include "service/messages.h"
#include "service/process_client.h"
#include "service/process_watchdog.h"

#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Whether a chunk's RelDir and FileName, joined, name a file below the download folder: a non-empty file
// name, no absolute path, drive letter, colon or forward slash, no component that is empty or only
// dots and blanks (Windows trims trailing dots and blanks, so ".. " climbs like ".."), and no Windows
// device name (CON, NUL, COM1, ...). On refusal *why says what was wrong.
bool IsSafeDownloadPath(std::string_view relDir, std::string_view fileName, const char** why = nullptr);

class ProcessDL : public ProcessClient {
  public:
    ProcessDL() = default;
    ~ProcessDL() override;

    // ProcessClient::Connect, with a watch on the service's silence while an answer is due.
    bool Connect();

    // Requests every module of ModuleList whose State is not 'D' (several requests when one message
    // would be too large) and logs each one. Interface thread, after a successful authentication.
    void DownloadModule();

    // Test and diagnostic views of the download state.
    int PendingCount() const;
    bool Active() const;

    // The session's events (see ProcessClient for the thread each runs on).
    void OnMessage(const uint8_t* msg, size_t len) override;
    void OnClientDisconnect(const char* text, int code) override;
    void OnLogin(uint32_t error, const uint8_t* body, size_t bodyLength) override;
    void OnAuthentLink(uint32_t error) override;

  private:
    struct FileCloser {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };
    using File = std::unique_ptr<std::FILE, FileCloser>;

    // What one record asks the interface to be told, gathered under the lock and sent after it.
    enum class Outcome { kWritten, kModuleDone, kFailed };

    // Fails the download: logs why, forgets the open file and closes the connection, which reports
    // itself to the interface (WM_USER + 111) and so ends the dialog in Failed.
    void FailDownload(const std::string& why);
    // The service left the download unanswered too long.
    void OnSilence();

    mutable std::mutex lock_;
    int pendingCount_ = 0;
    std::string currentPath_;
    // The open file's stdio buffer; declared before the file so that it outlives it. Given by us because
    // a C library may ignore the size asked for when it is to allocate the buffer itself.
    std::unique_ptr<char[]> writeBuffer_;
    File currentFile_;
    std::vector<std::string> pendingModules_;
    bool active_ = true;
    bool failed_ = false; // a refused record ended the download; later records are not used
    // Receive thread only: the folder whose prefixes were last made, so consecutive chunks of one folder
    // do not probe the file system again.
    std::string madeFolder_;
    // Receive thread only: the names of the last record and the local path they were checked into.
    // A file arrives as a run of records with the same names, so the check and the path are made once
    // per file rather than once per kilobyte.
    std::string lastTempDir_, lastRelDir_, lastFileName_, lastPath_;
    // Receive thread only: the decoded response, reused so that a message costs no allocation.
    messages::FileDownloadResponse response_;
    AnswerWatchdog watchdog_{[this] { OnSilence(); }};
};
