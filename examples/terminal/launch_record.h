// What the stand-in terminal records about its own start, so a test can check how it was launched.
#pragma once

#include <string>

namespace sample {

// The record's file name; it is written into the folder that holds the executable.
inline constexpr wchar_t kLaunchRecordName[] = L"launch.txt";

// The record's text: two lines, "command line: ..." and "folder: ...", in UTF-8, each ending in CRLF.
std::string FormatLaunchRecord(const std::wstring& commandLine, const std::wstring& folder);

// Writes the record beside the executable. It goes to a temporary name first and is then moved into
// place, so a reader never sees half a record. False when either step fails.
bool WriteLaunchRecord(const std::wstring& exeFolder, const std::string& record);

// The folder part of a path (no trailing backslash); empty when the path has no backslash.
std::wstring ParentFolder(const std::wstring& path);

} // namespace sample
