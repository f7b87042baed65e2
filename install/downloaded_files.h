// The file-system side of checking a download: what lies below the temporary folder, read and hashed,
// and the version of the installation in place. Windows only; everything else of the check is portable
// (service/package_check.h). Any thread; `stop` ends a long hashing early.
#pragma once

#include "core/result.h"
#include "service/package_manifest.h"

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The local path of a download path (code page 936, as on the wire) below the temporary folder: the one
// place the two are joined. Empty when the name has no exact UTF-16 form.
std::wstring DownloadedFilePath(const std::wstring& tempDir, std::string_view relative);

// A small downloaded file read whole: kNotFound when it is not there, kInvalid when it is larger than
// `limit`, kIo when it cannot be read.
Result<std::string> ReadDownloadedFile(const std::wstring& tempDir, std::string_view relative, size_t limit);

// Every file below tempDir but the install log, with its download path, size and SHA-256. kIo when a
// file could not be listed or read, kCancelled once `stop` is set; the error's message is then the
// download path concerned (a folder's ends in a backslash), as the package check names it.
Result<std::vector<package_manifest::FileEntry>> HashDownloadedFiles(const std::wstring& tempDir,
                                                                     const std::atomic<bool>& stop);

// The version in the installation's update.ini: kNotFound when there is none, kInvalid when it does not
// read as one.
Result<std::pair<uint32_t, uint32_t>> InstalledVersion(const std::wstring& installDir);
