// The densest LZO1X this service makes: LZO1X-999, far slower than the LZO1X-1 of every packet but
// decoded by the same decoder, so it is worth it for messages compressed once and sent many times.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace publisher {

// Work areas of one compressing thread (about 0.9 MiB, so keep it on the heap).
struct DenseWork {
    std::vector<uint8_t> memory; // the compressor's dictionary
    std::vector<uint8_t> out;    // room for the worst case of a whole message
    std::vector<uint8_t> check;  // the decoded form, compared with the input
    DenseWork();
};

// The LZO1X-999 form of a message, checked to decode to it again; when it does not, or it is larger
// than one packet can carry, the LZO1X-1 form under the same checks. Empty when neither works.
std::vector<uint8_t> CompressDense(const uint8_t* msg, size_t len, DenseWork& work);

// Whether `compressed` decodes to exactly the `len` bytes of `msg`.
bool DecodesTo(const std::vector<uint8_t>& compressed, const uint8_t* msg, size_t len, DenseWork& work);

} // namespace publisher
