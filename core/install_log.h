// The install log: one timestamped line per event, from any thread. Writing and closing exclude each
// other, so a line that found the file open is finished before a close takes effect.
#pragma once

#include <string>
#include <string_view>

enum class LogMode { Truncate, Append };

// Opens the log file (by default emptied; Append keeps what is there, for a line added after the log
// was closed); returns false and leaves the log closed when it cannot be opened.
// The path is the system's (core/wide_path.h).
bool OpenInstallLog(const std::wstring& path, LogMode mode = LogMode::Truncate);
// Closes the log; later lines are dropped. Harmless when closed.
void CloseInstallLog();
// Also writes every line, from now to the process's end, to the file at `path` (emptied first, unless
// Append), whether the log itself is open or not: a copy where a deployment tool looks for it. Every line
// goes to the file's end, so a second copy of the program given the same path adds its lines without
// overwriting the first's. False when it cannot be opened.
bool MirrorInstallLog(const std::wstring& path, LogMode mode = LogMode::Truncate);
bool InstallLogIsOpen();

// "[hh:mm:ss mmm]\t\t" + text + "\r\n", one write and a flush. Nothing happens while the log is closed
// or when text is null.
void WriteLog(const char* text);
void WriteLog(std::string_view text);

// "Tag：Event": the log's convention for what happened where, the tag and the event joined by the
// full-width colon (code page 936).
std::string LogEventText(std::string_view tag, std::string_view event);
// WriteLog(LogEventText(tag, event)).
void LogEvent(std::string_view tag, std::string_view event);

// The line prefix for a given local time, exposed so tests can check its bytes.
std::string FormatLogPrefix(int hour, int minute, int second, int millisecond);
