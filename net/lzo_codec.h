// LZO1X-1 compression (lzo_codec.cpp) and the bounds-checking LZO1X decoder (lzo_decompress.cpp),
// over caller-owned areas.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzo_codec {

// Work memory the compressor needs; callers provide at least this much, 16-byte aligned.
// Whether liblzo2 initialised; its compressors must not run otherwise.
bool Ready();
size_t WorkSize();

// Largest input whose worst-case compressed form fits in `capacity` bytes.
size_t MaxInputFor(size_t capacity);

// Compresses len bytes into out (at least the worst case for len must fit: see MaxInputFor).
// Returns the compressed length; 0 for empty input or when the worst case would not fit.
size_t Compress(const uint8_t* in, size_t len, uint8_t* out, size_t capacity, void* work);

// Decompresses into out; false unless the input is one complete, valid stream whose output fits.
bool Decompress(const uint8_t* in, size_t len, uint8_t* out, size_t capacity, size_t& outLen);

} // namespace lzo_codec
