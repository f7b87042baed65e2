// The signed list of a package's files: the package number, the version on offer and, per file that the
// publisher serves, its download path (code page 936, as on the wire), size and SHA-256. One text format
// written by the publisher and read by the publisher and the installer; deterministic, so the same
// package always gives the same bytes. Portable and stateless; any thread.
//
//   orvane package manifest 1
//   package 000185
//   version 8.5.12.3
//   file 1234 <64 lowercase hex digits> server\depend.zip
//
// Files are sorted by the bytes of their path, each listed once; every line ends in LF.
#pragma once

#include "core/result.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace package_manifest {

// The manifest and its signature sit at the top of the download folder.
constexpr std::string_view kManifestName = "orvane.manifest";
constexpr std::string_view kSignatureName = "orvane.manifest.minisig";
// Large enough for a package of many thousands of files; a bigger one is not read at all.
constexpr size_t kMaxManifestBytes = 16 * 1024 * 1024;

using Sha256 = std::array<uint8_t, 32>;

struct FileEntry {
    std::string path; // RelDir + FileName as the installer receives them
    uint64_t size = 0;
    Sha256 sha256{};
};

struct Manifest {
    std::string packageNo;
    uint32_t verPart3 = 0;
    uint32_t verPart4 = 0;
    std::vector<FileEntry> files; // sorted by path, no path twice
};

// True for the manifest and its signature, which the list never names.
bool IsManifestFile(std::string_view path);

// The manifest's text; the files are sorted here. Empty when a path is no safe download path, is
// listed twice, or is the manifest or its signature.
std::optional<std::string> Format(Manifest manifest);

// Reads a manifest; kInvalid, the message saying which line is wrong, when the text is not exactly what
// Format writes.
Result<Manifest> Read(std::string_view text);

// The "8.5.part3.part4" of update.ini (each number signed or unsigned 32-bit, as it was written).
std::optional<std::pair<uint32_t, uint32_t>> ParseInstalledVersion(std::string_view text);

// SHA-256 of a whole buffer (libsodium), and its lowercase hexadecimal form.
Sha256 HashBytes(const void* data, size_t size);
std::string Hex(const Sha256& digest);

} // namespace package_manifest
