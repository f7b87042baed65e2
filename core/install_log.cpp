#include "core/install_log.h"

#include "core/unique_file.h"
#include "core/wide_path.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <mutex>

namespace {

struct InstallLogFile {
    std::mutex lock;
    UniqueFile file;
    UniqueFile mirror;
};

InstallLogFile& LogFile() {
    static InstallLogFile log;
    return log;
}

std::tm LocalTime(std::time_t t) {
    std::tm out{};
#ifdef _WIN32
    localtime_s(&out, &t);
#else
    localtime_r(&t, &out);
#endif
    return out;
}

UniqueFile OpenFile(const std::wstring& path, bool append) {
#ifdef _WIN32
    return UniqueFile(_wfopen(path.c_str(), append ? L"ab" : L"wb"));
#else
    return UniqueFile(std::fopen(BytesFromWidePath(path).c_str(), append ? "ab" : "wb"));
#endif
}

} // namespace

bool OpenInstallLog(const std::wstring& path, LogMode mode) {
    UniqueFile f = path.empty() ? UniqueFile() : OpenFile(path, mode == LogMode::Append);
    const bool opened = bool(f);
    auto& log = LogFile();
    std::lock_guard guard(log.lock);
    log.file = std::move(f);
    return opened;
}

bool MirrorInstallLog(const std::wstring& path, LogMode mode) {
    if (mode == LogMode::Truncate && !path.empty())
        OpenFile(path, false); // emptied, then closed: the lines go in by appending
    UniqueFile f = path.empty() ? UniqueFile() : OpenFile(path, true);
    const bool opened = bool(f);
    auto& log = LogFile();
    std::lock_guard guard(log.lock);
    log.mirror = std::move(f);
    return opened;
}

void CloseInstallLog() {
    auto& log = LogFile();
    std::lock_guard guard(log.lock);
    log.file.Close();
}

bool InstallLogIsOpen() {
    auto& log = LogFile();
    std::lock_guard guard(log.lock);
    return bool(log.file);
}

std::string FormatLogPrefix(int hour, int minute, int second, int millisecond) {
    char prefix[32];
    std::snprintf(prefix, sizeof prefix, "[%02d:%02d:%02d %03d]\t\t", hour, minute, second, millisecond);
    return prefix;
}

void WriteLog(std::string_view text) {
    auto& log = LogFile();
    std::lock_guard guard(log.lock);
    if (!log.file && !log.mirror)
        return;
    auto now = std::chrono::system_clock::now();
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm tm = LocalTime(std::chrono::system_clock::to_time_t(now));
    std::string line = FormatLogPrefix(tm.tm_hour, tm.tm_min, tm.tm_sec, int(ms));
    line.append(text);
    line.append("\r\n");
    for (const UniqueFile* f : {&log.file, &log.mirror}) {
        if (*f) {
            std::fwrite(line.data(), 1, line.size(), f->Get());
            std::fflush(f->Get());
        }
    }
}

void WriteLog(const char* text) {
    if (text)
        WriteLog(std::string_view(text));
}

std::string LogEventText(std::string_view tag, std::string_view event) {
    std::string text(tag);
    text.append("\xa3\xba");
    text.append(event);
    return text;
}

void LogEvent(std::string_view tag, std::string_view event) {
    WriteLog(LogEventText(tag, event));
}
