// Bulk IDEA block work: every full 8-byte block of a buffer goes through here, so a faster
// implementation replaces this one function and nothing else.
#pragma once

#include <cstddef>
#include <cstdint>

// Enciphers `blocks` independent 8-byte blocks (no chaining) with a 52-word schedule: the encryption
// schedule encrypts, the decryption schedule decrypts. Words are read and written low byte first.
// `in` and `out` may be the same buffer.
void IdeaCryptBlocks(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks);
