#include "publisher/event_log.h"

#include <chrono>
#include <ctime>

namespace publisher {

EventLog::EventLog() : file_(stderr) {}

EventLog::~EventLog() {
    if (owned_)
        std::fclose(file_);
}

bool EventLog::OpenFile(const std::string& path) {
    FILE* f = std::fopen(path.c_str(), "a");
    if (!f)
        return false;
    std::lock_guard lock(mutex_);
    if (owned_)
        std::fclose(file_);
    file_ = f;
    owned_ = true;
    return true;
}

void EventLog::Write(std::string_view text) {
    using namespace std::chrono;
    auto now = system_clock::now();
    std::time_t secs = system_clock::to_time_t(now);
    auto millis = duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm{};
    gmtime_r(&secs, &tm);
    char stamp[64];
    std::snprintf(stamp, sizeof stamp, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, int(millis));
    std::lock_guard lock(mutex_);
    std::fprintf(file_, "%s %.*s\n", stamp, int(text.size()), text.data());
    std::fflush(file_);
}

} // namespace publisher
