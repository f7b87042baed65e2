// Writes small zip archives for the extraction tests: stored or deflated entries, folder entries, and
// deliberately wrong CRCs or flags.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct ZipEntrySpec {
    std::string name; // stored as given (forward slashes, "..", anything)
    std::string data;
    bool deflate = false;
    uint16_t dosDate = 0x5264; // 2021-03-04
    uint16_t dosTime = 0x28c4; // 05:06:08
    uint32_t externalAttributes = 0x20;
    uint16_t flags = 0;
    std::optional<uint32_t> crcOverride;
};

// leading: bytes placed before the archive (as a self-extracting stub would be); offsets stay relative
// to the archive's own start.
std::vector<uint8_t> BuildZip(const std::vector<ZipEntrySpec>& entries, const std::string& leading = "");
// Writes the archive to an ANSI path; false on failure.
bool WriteZip(const std::string& path, const std::vector<ZipEntrySpec>& entries,
              const std::string& leading = "");
