// Codec work areas, one set per serving thread: decoding and encoding use separate areas because a
// decoded message is still being read while its answer is encoded.
#pragma once

#include "net/packet_codec.h"
#include "service/messages.h"

#include <cstdint>
#include <vector>

namespace publisher {

struct Scratch {
    CodecBuffers decode;
    CodecBuffers encode;
    uint8_t packet[kPacketAreaSize];
    std::vector<messages::FileChunk> chunks;
};

} // namespace publisher
