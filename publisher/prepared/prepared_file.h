// The cache file of one prepared package file: the file's download messages, compressed ahead of time,
// under a name that says what they were made from, so that a restart takes them again instead of
// compressing the package anew.
//
// A cache file is named for its key: a SHA-256 over the file's content hash and everything else that
// shapes its messages (the names they carry, the module-end flag, the chunk layout, this format's
// version). A changed file or layout therefore looks for another name and never finds messages made
// for something else. The file repeats the key inside, so a file copied or renamed onto another name
// is refused too.
//
// Layout, every integer little-endian:
//   offset 0        8   magic "ORVPREP\n"
//   offset 8        4   format version (kPreparedFormat)
//   offset 12       4   message count n
//   offset 16       32  key
//   offset 48       8   file bytes the messages carry
//   offset 56       4n  compressed length of each message, 1 to 131,066 (what one packet can carry)
//   offset 56+4n        the compressed messages, back to back
//   last 32 bytes       SHA-256 of every byte before them
#pragma once

#include "core/result.h"
#include "publisher/package/package.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace publisher {

constexpr uint32_t kPreparedFormat = 1;
constexpr size_t kPreparedHeaderSize = 56;
constexpr size_t kPreparedChecksumSize = 32;

using Digest = std::array<uint8_t, 32>;

// What the messages of one file are made from.
struct PreparedLayout {
    Digest content{};   // SHA-256 of the file's bytes
    uint64_t size = 0;  // the file's size
    std::string module; // ModuleName, RelDir and FileName as on the wire
    std::string relDir;
    std::string fileName;
    bool moduleEnd = false; // the file is its module's last: its last chunk carries ModuleEnd
};

// The key of a layout under the serving side's current message shape (chunks per message, chunk and
// record sizes, compression level, format version).
Digest PreparedKey(const PreparedLayout& layout);
// "msgs-" and 40 hex digits of the key, ".lzo": the only names this service writes in a cache folder.
std::string PreparedFileName(const Digest& key);
// Whether `name` is one of ours: a cache file, or a temporary one of a writer that did not finish.
bool IsPreparedFileName(const std::string& name);
bool IsPreparedTempName(const std::string& name);
// Messages a file of `size` bytes makes (chunks of 1001 bytes, an empty file one empty chunk).
uint64_t PreparedMessageCount(uint64_t size);

// The bytes of a cache file holding `messages` (compressed forms, in sending order).
std::vector<uint8_t> EncodePreparedFile(const Digest& key, uint64_t fileBytes,
                                        const std::vector<std::vector<uint8_t>>& messages);

// The compressed messages of a cache file; a failure saying what is wrong when the bytes are not exactly
// one well-formed cache file for `key` carrying `fileBytes`. Nothing here decodes the messages; whoever
// uses them checks that they decode to what they should.
Result<std::vector<std::vector<uint8_t>>> ParsePreparedFile(const uint8_t* data, size_t len,
                                                            const Digest& key, uint64_t fileBytes);

} // namespace publisher
