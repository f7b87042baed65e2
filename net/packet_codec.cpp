#include "net/packet_codec.h"

#include "core/wire.h"
#include "net/lzo_codec.h"

static_assert(CodecBuffers::kAreaSize >= 131072, "the work memory of LZO1X-1 must fit");

size_t MaxEncodableMessage() {
    return lzo_codec::MaxInputFor(CodecBuffers::kAreaSize);
}

size_t CompressMessage(const uint8_t* msg, size_t len, CodecBuffers& buffers) {
    // An empty message would go out as a packet of length 0, which every receiver drops together
    // with everything buffered behind it; refuse it here instead.
    if (msg == nullptr || len == 0 || lzo_codec::WorkSize() > sizeof buffers.work)
        return 0;
    const size_t l = lzo_codec::Compress(msg, len, buffers.stage, sizeof buffers.stage, buffers.work);
    return l > kMaxSendPayload ? 0 : l;
}

size_t SealPacket(const uint8_t* compressed, size_t len, char type, const IdeaKey& key, uint8_t* packet) {
    if (compressed == nullptr || packet == nullptr || len == 0 || len > kMaxSendPayload ||
        (type != '4' && type != '6'))
        return 0;
    EncryptBuffer(compressed, packet + kPacketHeaderSize, int32_t(len), key);
    packet[0] = kPacketMagic;
    packet[1] = uint8_t(type);
    wire::StoreU32(packet + 2, uint32_t(len));
    return kPacketHeaderSize + len;
}

size_t EncodePacket(const uint8_t* msg, size_t len, char type, const IdeaKey& key, uint8_t* packet,
                    CodecBuffers& buffers) {
    if (packet == nullptr || (type != '4' && type != '6'))
        return 0;
    const size_t l = CompressMessage(msg, len, buffers);
    return l == 0 ? 0 : SealPacket(buffers.stage, l, type, key, packet);
}

DecodeResult DecodePacket(const uint8_t* data, size_t len, const IdeaKey& fixedKey, const IdeaKey& recvKey,
                          CodecBuffers& buffers) {
    const DecodeResult needMore{DecodeStatus::NeedMore, 0, nullptr, 0};
    const DecodeResult drop{DecodeStatus::Drop, 0, nullptr, 0};
    if (data == nullptr || len < kPacketHeaderSize)
        return needMore;
    if (data[0] != kPacketMagic)
        return drop;
    size_t l = wire::LoadU32(data + 2);
    if (l == 0 || l > kMaxPayload)
        return drop;
    if (kPacketHeaderSize + l > len)
        return needMore;
    char type = char(data[1]);
    if (type < '1' || type > '6')
        return drop;

    const uint8_t* payload = data + kPacketHeaderSize;
    const uint8_t* message = payload;
    size_t length = l;
    if (type == '3' || type == '4') {
        DecryptBuffer(payload, buffers.stage, int32_t(l), fixedKey);
        message = buffers.stage;
    } else if (type == '5' || type == '6') {
        DecryptBuffer(payload, buffers.stage, int32_t(l), recvKey);
        message = buffers.stage;
    }
    if (type == '2' || type == '4' || type == '6') {
        if (!lzo_codec::Decompress(message, l, buffers.message, sizeof buffers.message, length))
            return drop;
        message = buffers.message;
    }
    return {DecodeStatus::Message, kPacketHeaderSize + l, message, length};
}
