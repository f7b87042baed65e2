// One line per connection event, to a file or to standard error. Any thread may write; each line is
// written whole and flushed, so a crash or a kill loses nothing that was logged.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

namespace publisher {

class EventLog {
  public:
    // Logs to standard error.
    EventLog();
    ~EventLog();
    EventLog(const EventLog&) = delete;
    EventLog& operator=(const EventLog&) = delete;

    // Appends to `path` from now on; false (and still standard error) when it cannot be opened.
    bool OpenFile(const std::string& path);

    // Writes "<UTC time> <text>" as one line.
    void Write(std::string_view text);

  private:
    std::mutex mutex_;
    FILE* file_;
    bool owned_ = false;
};

} // namespace publisher
