#include "core/printable.h"

#include <cstdint>

std::string Printable(std::string_view text, HighBytes high, size_t maxBytes) {
    std::string out(text.substr(0, maxBytes));
    for (char& ch : out) {
        const auto byte = uint8_t(ch);
        if (byte < 0x20 || byte == 0x7F || (byte > 0x7F && high == HighBytes::Replace))
            ch = '?';
    }
    return out;
}
