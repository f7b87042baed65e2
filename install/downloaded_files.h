// The file-system side of checking a download: what lies below the temporary folder, read and hashed,
// and the version of the installation in place. Windows only; everything else of the check is portable
// (service/package_check.h). Any thread; `stop` ends a long hashing early.
#pragma once

#include "service/package_manifest.h"

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The local path of a download path (code page 936, as on the wire) below the temporary folder: the one
// place the two are joined. Empty when the name has no exact UTF-16 form.
std::wstring DownloadedFilePath(const std::wstring& tempDir, std::string_view relative);

// A small downloaded file read whole; empty when it is missing or larger than `limit`.
std::optional<std::string> ReadDownloadedFile(const std::wstring& tempDir, std::string_view relative,
                                              size_t limit);

// Every file below tempDir but the install log, with its download path, size and SHA-256. False when
// a file could not be listed or read, or `stop` was set; *failed then names it.
bool HashDownloadedFiles(const std::wstring& tempDir, std::vector<package_manifest::FileEntry>& files,
                         const std::atomic<bool>& stop, std::string* failed);

// The version in the installation's update.ini, when there is one that reads.
std::optional<std::pair<uint32_t, uint32_t>> InstalledVersion(const std::wstring& installDir);
