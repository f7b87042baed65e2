// Package folders for tests, written into a fresh temporary folder that is removed afterwards.
#pragma once

#include "net/packet_codec.h"
#include "service/messages.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace publisher::testing {

class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::filesystem::path& path() const { return path_; }

  private:
    std::filesystem::path path_;
};

// The file bytes of `count` full download messages: a module file of exactly this size ends on a
// message's end, so a download cut after N messages falls between whole modules.
inline size_t FullMessageBytes(size_t count) {
    return count * messages::MaxChunksPerMessage(messages::kDownloadRspSize, MaxEncodableMessage()) * 1001;
}

// Writes bytes to root/relative, creating folders.
void WriteFile(const std::filesystem::path& root, const std::string& relative,
               const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::filesystem::path& path);
// n bytes that do not repeat in any short period (no two files alike).
std::vector<uint8_t> Pattern(size_t n, uint32_t seed);
// n bytes of text-like data that compresses well, different for each seed.
std::vector<uint8_t> Compressible(size_t n, uint32_t seed);
// How often `what` stands in `text`, overlapping occurrences included.
size_t Count(const std::string& text, const std::string& what);
// The whole file as text ("" when it cannot be read).
std::string FileText(const std::filesystem::path& path);
// Waits up to `limit` until the file (a log another process writes) holds `text` at least `times` times.
bool WaitForLine(const std::filesystem::path& path, const std::string& text, size_t times = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(10));

// The package used by most tests: package "000185", version 12.3, user tulip/tulip, and modules
//   server: deps/depend.zip (3 MiB), deps/a/b/c/deep.bin (1002 bytes), empty.txt (0 bytes)
//   client: exact.bin (1001 bytes), one.bin (1 byte)
//   docs:   no folder, state 'D'
void WriteStandardPackage(const std::filesystem::path& root);

// Every regular file below root, relative path ("a/b.txt") to contents.
std::vector<std::pair<std::string, std::vector<uint8_t>>> ListTree(const std::filesystem::path& root);
// What an installer's download folder holds, as ListTree gives it, after a complete download of the
// standard package in `package`.
std::vector<std::pair<std::string, std::vector<uint8_t>>>
ExpectedDownload(const std::filesystem::path& package);

} // namespace publisher::testing
