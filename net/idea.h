// IDEA key records and the block mode every packet payload goes through: full 8-byte blocks are
// enciphered independently, a tail of fewer than 8 bytes is XORed with the raw key bytes backwards.
#pragma once

#include <cstdint>

struct IdeaKey {
    uint8_t key[16];
    uint16_t encrypt[52];
    uint16_t decrypt[52];
};

// key = the first min(len, 16) bytes of text, zero-padded to 16; then both schedules. A null text
// counts as empty.
void SetKey(IdeaKey& rec, const void* text, unsigned len);

// out receives exactly len bytes (nothing for len <= 0). in and out may be the same buffer.
void EncryptBuffer(const uint8_t* in, uint8_t* out, int32_t len, const IdeaKey& rec);
void DecryptBuffer(const uint8_t* in, uint8_t* out, int32_t len, const IdeaKey& rec);
