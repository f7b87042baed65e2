// The packet format as pure functions over bytes: "#", a type character "1".."6", the payload length
// (u32, little-endian), then the payload. Types 2, 4 and 6 are LZO1X-compressed; 3 and 4 are
// enciphered with the fixed key, 5 and 6 with a session key. These functions keep no state: the keys
// and the scratch areas are the caller's.
#pragma once

#include "net/idea.h"

#include <cstddef>
#include <cstdint>

constexpr size_t kPacketHeaderSize = 6;
constexpr size_t kPacketAreaSize = 131072;                              // a whole packet, header included
constexpr size_t kMaxSendPayload = kPacketAreaSize - kPacketHeaderSize; // 131,066
constexpr size_t kMaxPayload = 131071;                                  // largest length a receiver accepts
constexpr uint8_t kPacketMagic = '#';

// Reusable scratch for encoding or decoding: about 384 KiB, so keep it on the heap (a thread's
// stack on Windows is 1 MiB) and reuse it for every packet of one thread.
struct CodecBuffers {
    static constexpr size_t kAreaSize = 131072;
    alignas(16) uint8_t work[kAreaSize];    // compressor work memory
    alignas(16) uint8_t stage[kAreaSize];   // compressed form when sending, deciphered form when receiving
    alignas(16) uint8_t message[kAreaSize]; // decompressed message when receiving
};

// Largest message EncodePacket accepts: its worst-case compressed form still fits the packet area.
size_t MaxEncodableMessage();

// Encodes msg as one packet of type '4' (compress, then `key`, normally the fixed key) or '6'
// (compress, then `key`, the send key) into packet, which holds kPacketAreaSize bytes. Returns
// 6 + L, or 0 when nothing can be sent: no or empty message, another type, or a message too large.
size_t EncodePacket(const uint8_t* msg, size_t len, char type, const IdeaKey& key, uint8_t* packet,
                    CodecBuffers& buffers);

// EncodePacket in its two halves, for a sender that keeps compressed messages to send again under
// other keys. CompressMessage leaves the compressed form in buffers.stage and returns its length (0
// as EncodePacket refuses). SealPacket enciphers `len` compressed bytes with `key` behind the header of
// a type '4' or '6' packet and returns 6 + len (0 for another type or a length out of range).
size_t CompressMessage(const uint8_t* msg, size_t len, CodecBuffers& buffers);
size_t SealPacket(const uint8_t* compressed, size_t len, char type, const IdeaKey& key, uint8_t* packet);

enum class DecodeStatus { NeedMore, Message, Drop };

struct DecodeResult {
    DecodeStatus status;
    size_t consumed;        // bytes of the packet at the front (Message only)
    const uint8_t* message; // inside data (type '1') or inside buffers; valid until the next call
    size_t length;
};

// Decodes the packet at the front of data. Checks run in this order: at least 6 bytes, the magic,
// the length (1 to 131,071), completeness, the type, then the transform. NeedMore means the packet
// is incomplete; Drop means the stream cannot be trusted from here on.
DecodeResult DecodePacket(const uint8_t* data, size_t len, const IdeaKey& fixedKey, const IdeaKey& recvKey,
                          CodecBuffers& buffers);
