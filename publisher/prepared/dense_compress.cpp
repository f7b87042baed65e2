#include "publisher/prepared/dense_compress.h"

#include "net/lzo_codec.h"
#include "net/packet_codec.h"

#include <lzo/lzo1x.h>

#include <algorithm>
#include <cstring>

namespace publisher {
DenseWork::DenseWork()
    : memory(std::max<size_t>(LZO1X_999_MEM_COMPRESS, lzo_codec::WorkSize())), out(CodecBuffers::kAreaSize),
      check(CodecBuffers::kAreaSize) {}

bool DecodesTo(const std::vector<uint8_t>& compressed, const uint8_t* msg, size_t len, DenseWork& work) {
    size_t got = 0;
    return !compressed.empty() &&
           lzo_codec::Decompress(compressed.data(), compressed.size(), work.check.data(), work.check.size(),
                                 got) &&
           got == len && std::memcmp(work.check.data(), msg, len) == 0;
}

std::vector<uint8_t> CompressDense(const uint8_t* msg, size_t len, DenseWork& work) {
    // The compressor writes without bounds checks: only inputs whose worst case fits the area.
    if (msg == nullptr || len == 0 || len > lzo_codec::MaxInputFor(work.out.size()) || !lzo_codec::Ready())
        return {};
    lzo_uint outLen = 0;
    if (lzo1x_999_compress(msg, lzo_uint(len), work.out.data(), &outLen, work.memory.data()) == LZO_E_OK &&
        outLen <= kMaxSendPayload) {
        std::vector<uint8_t> dense(work.out.begin(), work.out.begin() + long(outLen));
        if (DecodesTo(dense, msg, len, work))
            return dense;
    }
    const size_t l = lzo_codec::Compress(msg, len, work.out.data(), work.out.size(), work.memory.data());
    if (l == 0 || l > kMaxSendPayload)
        return {};
    std::vector<uint8_t> fast(work.out.begin(), work.out.begin() + long(l));
    return DecodesTo(fast, msg, len, work) ? fast : std::vector<uint8_t>{};
}

} // namespace publisher
