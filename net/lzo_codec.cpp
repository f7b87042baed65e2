#include "net/lzo_codec.h"

#include <lzo/lzo1x.h>

namespace lzo_codec {
bool Ready() {
    static const bool ok = lzo_init() == LZO_E_OK;
    return ok;
}

size_t WorkSize() {
    return LZO1X_1_MEM_COMPRESS;
}

// LZO1X's documented worst case: n + n / 16 + 64 + 3.
size_t MaxInputFor(size_t capacity) {
    if (capacity <= 67)
        return 0;
    size_t n = (capacity - 67) * 16 / 17;
    while (n + 1 + (n + 1) / 16 + 67 <= capacity)
        ++n;
    return n;
}

size_t Compress(const uint8_t* in, size_t len, uint8_t* out, size_t capacity, void* work) {
    // The compressor writes without bounds checks, so refuse anything that could overflow.
    if (in == nullptr || len == 0 || len > MaxInputFor(capacity) || !Ready())
        return 0;
    lzo_uint outLen = 0;
    if (lzo1x_1_compress(in, lzo_uint(len), out, &outLen, work) != LZO_E_OK)
        return 0;
    return size_t(outLen);
}

} // namespace lzo_codec
