// Sending and receiving whole packets for a session: SendPacket frames, compresses, enciphers and
// hands one message to the transport; ParsePackets splits received bytes into messages.
#pragma once

#include <cstddef>
#include <cstdint>

class ProtocolContext;
struct CodecBuffers;

// Receives each decoded message, in stream order.
class MessageSink {
  public:
    virtual void HandleMessage(const uint8_t* msg, size_t len) = 0;
    // Bytes that are no packet were dropped, with everything buffered behind them.
    virtual void OnDropped() {}

  protected:
    ~MessageSink() = default;
};

// type '4' (fixed key) or '6' (send key). Any thread; nothing is sent for a null or unencodable
// message or while the transport is not connected. Uses per-thread scratch, allocated once.
void SendPacket(ProtocolContext& ctx, const uint8_t* msg, int32_t len, char type);

// Decodes every complete packet at the front of data and hands each message to sink. Returns the
// number of bytes to drop from the front: up to the first incomplete packet, or len when the
// stream is garbage. The receive key is read for each packet, so a key installed by one message
// applies to the next packet of the same buffer.
size_t ParsePackets(const ProtocolContext& ctx, CodecBuffers& buffers, MessageSink& sink, const uint8_t* data,
                    size_t len);
