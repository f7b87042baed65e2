// A download read slowly on its own thread, so that the service has a download in progress for as
// long as a test needs: its socket's receive buffer is small and the reader pauses between messages.
#pragma once

#include "tests/publisher/test_client.h"

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>
#include <vector>

namespace publisher::testing {

// A package whose server module holds a large file, so that a slow download takes a while.
void WriteLargePackage(const std::filesystem::path& root, size_t bigBytes = 32u << 20);

class SlowDownload {
  public:
    // Connects to `port`, authenticates and requests `modules`; reads on its own thread, pausing
    // `pause` after every message. Files land below `folder` as TestClient::Download writes them.
    SlowDownload(uint16_t port, std::vector<ModuleRecord> modules, std::filesystem::path folder,
                 std::chrono::milliseconds pause);
    ~SlowDownload();
    SlowDownload(const SlowDownload&) = delete;
    SlowDownload& operator=(const SlowDownload&) = delete;

    size_t messages() const { return messages_; }
    bool done() const { return done_; }
    // Waits for the end of the download.
    TestClient::DownloadResult Finish();
    // Waits until `n` messages have arrived (or the download ended); false if it ended first.
    bool WaitForMessages(size_t n);

  private:
    TestClient client_;
    std::atomic<size_t> messages_{0};
    std::atomic<bool> done_{false};
    TestClient::DownloadResult result_;
    std::thread thread_;
};

} // namespace publisher::testing
