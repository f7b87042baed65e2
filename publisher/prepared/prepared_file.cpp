#include "publisher/prepared/prepared_file.h"

#include "core/wire.h"
#include "net/packet_codec.h"
#include "publisher/prepared/message_layout.h"
#include "service/messages.h"

#include <botan/sha2_32.h>

#include <algorithm>
#include <cstring>

namespace publisher {
namespace {

constexpr uint8_t kMagic[8] = {'O', 'R', 'V', 'P', 'R', 'E', 'P', '\n'};
constexpr char kPrefix[] = "msgs-";
constexpr char kSuffix[] = ".lzo";
constexpr char kTempMark[] = ".tmp.";
constexpr size_t kKeyHexDigits = 40;
// Which compressor made the messages: part of the key, so that a change of level is a new layout.
constexpr uint32_t kCompressionLevel = 999;

void PutU32(std::vector<uint8_t>& out, uint32_t v) {
    uint8_t b[4];
    wire::StoreU32(b, v);
    out.insert(out.end(), b, b + 4);
}

void PutU64(std::vector<uint8_t>& out, uint64_t v) {
    PutU32(out, uint32_t(v));
    PutU32(out, uint32_t(v >> 32));
}

void PutText(std::vector<uint8_t>& out, const std::string& s) {
    PutU32(out, uint32_t(s.size()));
    out.insert(out.end(), s.begin(), s.end());
}

uint64_t LoadU64(const uint8_t* p) {
    return uint64_t(wire::LoadU32(p)) | uint64_t(wire::LoadU32(p + 4)) << 32;
}

Digest Sha256(const uint8_t* data, size_t len) {
    Botan::SHA_256 hash;
    hash.update(data, len);
    Digest d;
    hash.final(d.data());
    return d;
}

bool HexDigits(const std::string& s, size_t from, size_t count) {
    if (s.size() < from + count)
        return false;
    return std::all_of(s.begin() + long(from), s.begin() + long(from + count),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

bool KeyedName(const std::string& name, size_t& end) {
    const size_t prefix = sizeof kPrefix - 1, suffix = sizeof kSuffix - 1;
    if (name.compare(0, prefix, kPrefix) != 0 || !HexDigits(name, prefix, kKeyHexDigits) ||
        name.compare(prefix + kKeyHexDigits, suffix, kSuffix) != 0)
        return false;
    end = prefix + kKeyHexDigits + suffix;
    return true;
}

} // namespace

Digest PreparedKey(const PreparedLayout& layout) {
    std::vector<uint8_t> record;
    static constexpr char kDomain[] = "orvane prepared download messages";
    record.insert(record.end(), kDomain, kDomain + sizeof kDomain - 1);
    PutU32(record, kPreparedFormat);
    record.insert(record.end(), layout.content.begin(), layout.content.end());
    PutU64(record, layout.size);
    PutU32(record, uint32_t(ChunksPerMessage()));
    PutU32(record, uint32_t(messages::kChunkDataMax));
    PutU32(record, uint32_t(messages::kDownloadRspSize));
    PutU32(record, kCompressionLevel);
    record.push_back(layout.moduleEnd ? 1 : 0);
    PutText(record, layout.module);
    PutText(record, layout.relDir);
    PutText(record, layout.fileName);
    return Sha256(record.data(), record.size());
}

std::string PreparedFileName(const Digest& key) {
    static constexpr char kHex[] = "0123456789abcdef";
    std::string name = kPrefix;
    for (size_t i = 0; i < kKeyHexDigits / 2; ++i) {
        name += kHex[key[i] >> 4];
        name += kHex[key[i] & 15];
    }
    return name + kSuffix;
}

bool IsPreparedFileName(const std::string& name) {
    size_t end = 0;
    return KeyedName(name, end) && end == name.size();
}

bool IsPreparedTempName(const std::string& name) {
    size_t end = 0;
    const size_t mark = sizeof kTempMark - 1;
    if (!KeyedName(name, end) || name.compare(end, mark, kTempMark) != 0 || name.size() == end + mark)
        return false;
    return std::all_of(name.begin() + long(end + mark), name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

uint64_t PreparedMessageCount(uint64_t size) {
    const uint64_t chunks =
        std::max<uint64_t>(1, (size + messages::kChunkDataMax - 1) / messages::kChunkDataMax);
    const uint64_t per = ChunksPerMessage();
    return (chunks + per - 1) / per;
}

std::vector<uint8_t> EncodePreparedFile(const Digest& key, uint64_t fileBytes,
                                        const std::vector<std::vector<uint8_t>>& messages) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    PutU32(out, kPreparedFormat);
    PutU32(out, uint32_t(messages.size()));
    out.insert(out.end(), key.begin(), key.end());
    PutU64(out, fileBytes);
    for (const auto& m : messages)
        PutU32(out, uint32_t(m.size()));
    for (const auto& m : messages)
        out.insert(out.end(), m.begin(), m.end());
    const Digest sum = Sha256(out.data(), out.size());
    out.insert(out.end(), sum.begin(), sum.end());
    return out;
}

Result<std::vector<std::vector<uint8_t>>> ParsePreparedFile(const uint8_t* data, size_t len,
                                                            const Digest& key, uint64_t fileBytes) {
    auto refuse = [](const char* reason) { return Error(ErrorKind::kInvalid, reason); };
    if (data == nullptr || len < kPreparedHeaderSize + kPreparedChecksumSize)
        return refuse("shorter than a header");
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0)
        return refuse("not a prepared-messages file");
    if (wire::LoadU32(data + 8) != kPreparedFormat)
        return refuse("another format version");
    if (!std::equal(key.begin(), key.end(), data + 16))
        return refuse("made for another file or layout");
    if (LoadU64(data + 48) != fileBytes)
        return refuse("carries another number of file bytes");
    const uint64_t count = wire::LoadU32(data + 12);
    if (count != PreparedMessageCount(fileBytes))
        return refuse("holds another number of messages than the file makes");
    // Every length below is checked against what is left before it is used.
    const size_t body = len - kPreparedChecksumSize;
    if ((body - kPreparedHeaderSize) / 4 < count)
        return refuse("truncated");
    size_t at = kPreparedHeaderSize + size_t(count) * 4;
    std::vector<size_t> lengths(static_cast<size_t>(count));
    for (size_t i = 0; i < lengths.size(); ++i) {
        lengths[i] = wire::LoadU32(data + kPreparedHeaderSize + 4 * i);
        if (lengths[i] == 0 || lengths[i] > kMaxSendPayload)
            return refuse("a message length no packet can carry");
        if (lengths[i] > body - at)
            return refuse("truncated");
        at += lengths[i];
    }
    if (at != body)
        return refuse("has bytes after its messages");
    const Digest sum = Sha256(data, body);
    if (!std::equal(sum.begin(), sum.end(), data + body))
        return refuse("checksum mismatch");
    std::vector<std::vector<uint8_t>> messages;
    messages.reserve(lengths.size());
    at = kPreparedHeaderSize + size_t(count) * 4;
    for (size_t n : lengths) {
        messages.emplace_back(data + at, data + at + n);
        at += n;
    }
    return messages;
}

} // namespace publisher
