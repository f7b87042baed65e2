// A pipe for a publisher's standard error whose reader can stall, and installs that give up in time.
#pragma once

#include "tests/publisher/publisher_process.h"

#include <chrono>
#include <cstdint>
#include <filesystem>

namespace publisher::testing {

// A pipe of two pages (so that a hundred lines fill it), closed on exec on our side.
class LogPipe {
  public:
    LogPipe();
    ~LogPipe();
    LogPipe(const LogPipe&) = delete;
    LogPipe& operator=(const LogPipe&) = delete;
    bool Valid() const { return fds_[0] >= 0; }
    int ReadEnd() const { return fds_[0]; }
    int WriteEnd() const { return fds_[1]; }
    void CloseReadEnd();
    void CloseWriteEnd();
    // Bytes written into the pipe and not read yet.
    int Buffered() const;
    int Capacity() const { return capacity_; }

  private:
    int fds_[2] = {-1, -1};
    int capacity_ = 0;
};

// Opens and closes connections to `checkPort` (each logs a line or two) until the pipe is full.
bool FillLogPipe(const LogPipe& pipe, uint16_t checkPort, std::chrono::seconds limit);
// A whole install into `folder`; when it has not finished within `limit` the publisher is stopped (so
// that the install's connections end) and the result is false.
bool InstallWithin(PublisherProcess& p, uint16_t checkPort, const std::filesystem::path& folder,
                   std::chrono::seconds limit);

} // namespace publisher::testing
