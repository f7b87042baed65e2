// Vectorised IDEA: the same block work as IdeaCryptBlocks (net/idea_blocks.h), many blocks at a time in
// 16-bit lanes. Our block mode has no chaining, so every 8-byte block of a buffer is independent.
// Each kernel is compiled for its own instruction set and must only be called when the CPU has it:
// ask IdeaPathSupported first, or let IdeaCryptBlocks choose.
#pragma once

#include <cstddef>
#include <cstdint>

// Same contract as IdeaCryptBlocks: `blocks` 8-byte blocks, words low byte first, a 52-word schedule
// (encryption or decryption). `in` and `out` may be the same buffer but must not otherwise overlap.
using IdeaBlocksFn = void (*)(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks);

void IdeaCryptBlocksSse2(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks);
void IdeaCryptBlocksAvx2(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks);
void IdeaCryptBlocksAvx512(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks);

// The scalar rounds, always available; the fallback when no vector path is.
void IdeaCryptBlocksScalar(const uint16_t subkeys[52], const uint8_t* in, uint8_t* out, size_t blocks);

enum class IdeaPath { Scalar, Sse2, Avx2, Avx512 };

// True when this build has the path and the CPU (and the OS, for the wider registers) supports it.
bool IdeaPathSupported(IdeaPath path);
// The widest supported path; detected once.
IdeaPath IdeaBestPath();
// The kernel of a path (the scalar one for Scalar), whether or not the CPU supports it.
IdeaBlocksFn IdeaKernel(IdeaPath path);
// "scalar", "sse2", "avx2" or "avx512bw".
const char* IdeaPathName(IdeaPath path);
