#include "net/packet_io.h"

#include "net/packet_codec.h"
#include "net/protocol_context.h"
#include "net/tcp.h"

#include <memory>

namespace {

struct SendScratch {
    CodecBuffers buffers;
    uint8_t packet[kPacketAreaSize];
};

// Each sending thread encodes into its own scratch, so senders never wait for each other while
// encoding and no lock is held when the transport is called.
SendScratch& ThreadScratch() {
    thread_local std::unique_ptr<SendScratch> scratch;
    if (!scratch)
        scratch = std::make_unique<SendScratch>();
    return *scratch;
}

} // namespace

void SendPacket(ProtocolContext& ctx, const uint8_t* msg, int32_t len, char type) {
    if (msg == nullptr || len <= 0 || ctx.tcp == nullptr || (type != '4' && type != '6'))
        return;
    if (!ctx.tcp->IsConnected())
        return;
    SendScratch& s = ThreadScratch();
    IdeaKey key = type == '4' ? ctx.fixedKey : ctx.SendKey();
    size_t n = EncodePacket(msg, size_t(len), type, key, s.packet, s.buffers);
    if (n != 0)
        ctx.tcp->Send(s.packet, int32_t(n));
}

size_t ParsePackets(const ProtocolContext& ctx, CodecBuffers& buffers, MessageSink& sink, const uint8_t* data,
                    size_t len) {
    if (data == nullptr || len < kPacketHeaderSize)
        return 0;
    size_t pos = 0;
    for (;;) {
        IdeaKey recvKey = ctx.RecvKey();
        DecodeResult r = DecodePacket(data + pos, len - pos, ctx.fixedKey, recvKey, buffers);
        if (r.status == DecodeStatus::NeedMore)
            return pos;
        if (r.status == DecodeStatus::Drop) {
            sink.OnDropped();
            return len;
        }
        sink.HandleMessage(r.message, r.length);
        pos += r.consumed;
        if (pos + kPacketHeaderSize > len)
            return pos;
    }
}
