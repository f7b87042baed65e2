// Little-endian field access for wire and file records. Every read is bounds-checked by the caller's
// span: a record is never cast onto network bytes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace wire {

inline uint16_t LoadU16(const uint8_t* p) {
    return uint16_t(p[0] | (p[1] << 8));
}
inline uint32_t LoadU32(const uint8_t* p) {
    return uint32_t(p[0]) | (uint32_t(p[1]) << 8) | (uint32_t(p[2]) << 16) | (uint32_t(p[3]) << 24);
}
inline void StoreU16(uint8_t* p, uint16_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
}
inline void StoreU32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Text of a fixed-width field: up to the first NUL, never past the width.
inline std::string_view LoadText(const uint8_t* p, size_t width) {
    const void* nul = std::memchr(p, 0, width);
    size_t n = nul ? size_t(static_cast<const uint8_t*>(nul) - p) : width;
    return {reinterpret_cast<const char*>(p), n};
}

// Writes text into a fixed-width field: cut to width - 1, NUL-terminated, the rest zero.
inline void StoreText(uint8_t* p, size_t width, std::string_view text) {
    if (width == 0)
        return;
    size_t n = std::min(text.size(), width - 1);
    if (n) // an empty view may carry a null pointer, which memcpy must not see
        std::memcpy(p, text.data(), n);
    std::memset(p + n, 0, width - n);
}

// A read-only byte range whose accessors refuse to read outside it.
class Bytes {
  public:
    Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
    const uint8_t* data() const { return data_; }
    size_t size() const { return size_; }
    bool Has(size_t offset, size_t width) const { return offset <= size_ && width <= size_ - offset; }

  private:
    const uint8_t* data_;
    size_t size_;
};

} // namespace wire
