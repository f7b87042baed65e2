// The download client: asks the download server for every module still to install and writes the
// file chunks it answers with below TempDir, reporting each finished module and the end of the whole
// download to the interface.
//
// One run, one download: the request goes out once, answers that come before it are ignored, and once
// the download is complete, failed or stopped no chunk is written and nothing is posted any more (a
// failure is reported once, by WM_USER + 111). A later attempt is a new client, told which modules it
// need not ask for again.
//
// Threads: SetServer, Connect, Stop and DownloadModule run on the interface thread. OnMessage,
// OnAuthentLink and OnLogin run on the connection's receive thread; OnClientDisconnect runs on whichever
// thread closed the connection. The download state is guarded by the run's lock (service/run_state.h),
// which is never held while sending to the interface or closing the connection.
#pragma once

#include "service/messages.h"
#include "service/process_client.h"
#include "service/download_writer.h"

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// A module that arrived whole, with the files its chunks wrote (sizes as at its end).
struct ReceivedModule {
    std::string name;
    std::vector<ReceivedFile> files;
};

class ProcessDL : public ProcessClient {
  public:
    ProcessDL() = default;
    ~ProcessDL() override;

    // Requests every module of ModuleList whose State is not 'D' and whose name is not in `have` (the
    // modules an earlier attempt received whole), several requests when one message would be too large,
    // and logs each one. Interface thread, after a successful authentication; once per run (a later
    // call, or one after the run ended, is logged and does nothing).
    void DownloadModule(const std::set<std::string>& have = {});

    // Every file this run wrote below TempDir, with its size (see DownloadWriter::ReceivedFiles): what
    // the install checks the installed tree against. Any thread; a copy taken under the run's lock.
    std::vector<ReceivedFile> ReceivedFiles() const;
    // The modules this run received whole, in the order they ended, from the `from`-th on. Any thread.
    std::vector<ReceivedModule> ReceivedModules(size_t from = 0) const;

    // Test and diagnostic views of the download state.
    int PendingCount() const;
    bool Active() const;

    // The session's events (see ProcessClient for the thread each runs on).
    void OnMessage(const uint8_t* msg, size_t len) override;
    void OnClientDisconnect(const char* text, int code) override;
    void OnLogin(uint32_t error, const uint8_t* body, size_t bodyLength) override;
    void OnAuthentLink(uint32_t error) override;

  protected:
    void OnSilence() override;

  private:
    // Writes one chunk, under the run lock. A failure ends the download; its message is the log's event
    // for it, except kCancelled: the run ended meanwhile and nothing more is said.
    Status WriteChunk(const messages::FileChunk& chunk);
    // After a message: completes the download when nothing is pending.
    void CheckComplete();

    // Guarded by run_'s lock.
    int pendingCount_ = 0;
    std::vector<std::string> pendingModules_;
    bool requested_ = false;              // DownloadModule has run: answers count from here
    bool active_ = true;                  // the download has not been reported complete
    DownloadWriter writer_;               // its file, under the lock; its placing, receive thread only
    std::vector<size_t> moduleEntries_;   // the writer's entries the module now arriving wrote to
    std::vector<ReceivedModule> modules_; // the modules received whole
    // Receive thread only: the decoded response, reused so that a message costs no allocation.
    messages::FileDownloadResponse response_;
};
