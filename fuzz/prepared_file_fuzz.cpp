// Arbitrary bytes into the reader of the publisher's cache files. The first byte picks the mode:
// even, the rest is read as a cache file, with the key and file size it names itself, so that only
// the checksum stands between the input and the deeper checks; odd, the rest makes up to four messages
// that are written as a well-formed cache file and then damaged at places the input chooses. Whatever
// the reader accepts must write back to exactly the bytes it read.
#include "net/packet_codec.h"
#include "publisher/prepared/message_layout.h"
#include "publisher/prepared/prepared_file.h"
#include "service/messages.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

using namespace publisher;

namespace {

void CheckAccepted(const uint8_t* data, size_t len, const Digest& key, uint64_t fileBytes) {
    auto messages = ParsePreparedFile(data, len, key, fileBytes);
    if (!messages) {
        if (messages.error().message().empty())
            std::abort();
        return;
    }
    if (messages->size() != PreparedMessageCount(fileBytes))
        std::abort();
    for (const auto& m : *messages)
        if (m.empty() || m.size() > kMaxSendPayload)
            std::abort();
    const auto again = EncodePreparedFile(key, fileBytes, *messages);
    if (again.size() != len || std::memcmp(again.data(), data, len) != 0)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const uint8_t mode = data[0];
    ++data;
    --size;
    if ((mode & 1) == 0) {
        Digest key{};
        uint64_t fileBytes = 0;
        if (size >= kPreparedHeaderSize) {
            std::memcpy(key.data(), data + 16, key.size());
            for (int i = 7; i >= 0; --i)
                fileBytes = fileBytes << 8 | data[48 + i];
        }
        // Sizes beyond any real file would only make the message count overflow the test's arithmetic.
        CheckAccepted(data, size, key, fileBytes % (uint64_t(1) << 40));
        return 0;
    }
    if (size < 9)
        return 0;
    const size_t count = 1 + (mode >> 1) % 4;
    const uint64_t fileBytes = uint64_t(count) * ChunksPerMessage() * messages::kChunkDataMax;
    Digest key{};
    std::memcpy(key.data(), data, 8);
    // Edits: up to four (offset, xor) pairs from the next 8 bytes.
    const uint8_t* edits = data + 1;
    data += 9;
    size -= 9;
    std::vector<std::vector<uint8_t>> msgs(count);
    for (size_t i = 0; i < size; ++i)
        msgs[i % count].push_back(data[i]);
    for (auto& m : msgs)
        if (m.empty())
            m.push_back(0);
    auto file = EncodePreparedFile(key, fileBytes, msgs);
    CheckAccepted(file.data(), file.size(), key, fileBytes);
    for (int e = 0; e < 4; ++e) {
        const size_t at = (size_t(edits[2 * e]) * 131) % file.size();
        file[at] ^= edits[2 * e + 1];
    }
    const size_t cut = edits[7] & 1 ? file.size() - std::min<size_t>(file.size(), edits[6]) : file.size();
    CheckAccepted(file.data(), cut, key, fileBytes);
    return 0;
}
