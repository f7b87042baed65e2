// Our LZO1X decoder against liblzo2's safe decoder: on any bytes, and on a valid stream of the bytes
// with a few of its bytes overwritten, both must give the same verdict and the same output. The output
// room comes from the input too, so exact and short capacities are reached.
#include "net/lzo_codec.h"

#include <lzo/lzo1x.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

void Compare(const uint8_t* stream, size_t len, size_t capacity) {
    std::vector<uint8_t> ours(capacity + 1), theirs(capacity + 1);
    size_t ourLen = 0;
    bool ourOk = lzo_codec::Decompress(stream, len, ours.data(), capacity, ourLen);
    lzo_uint theirLen = capacity;
    bool theirOk =
        len != 0 && lzo1x_decompress_safe(stream, len, theirs.data(), &theirLen, nullptr) == LZO_E_OK;
    if (ourOk != theirOk)
        std::abort();
    if (ourOk && (ourLen != theirLen || std::memcmp(ours.data(), theirs.data(), ourLen) != 0))
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const bool ready = lzo_init() == LZO_E_OK;
    if (!ready || size < 2)
        return 0;
    const size_t room = data[0] | size_t(data[1] & 0x3f) << 8; // up to 16 KiB
    data += 2;
    size -= 2;
    Compare(data, size, room);

    // The same bytes as a valid stream, damaged in the places the last input bytes name.
    static std::vector<uint8_t> work(LZO1X_1_MEM_COMPRESS);
    std::vector<uint8_t> packed(size + size / 16 + 67);
    lzo_uint packedLen = 0;
    if (size == 0 || lzo1x_1_compress(data, size, packed.data(), &packedLen, work.data()) != LZO_E_OK)
        return 0;
    Compare(packed.data(), packedLen, size);
    for (size_t k = 0; k < 4 && k * 2 + 1 < size; ++k) {
        const uint8_t* edit = data + size - 2 - 2 * k;
        packed[(edit[0] * 257u + edit[1]) % packedLen] = edit[1];
    }
    Compare(packed.data(), packedLen, room);
    return 0;
}
