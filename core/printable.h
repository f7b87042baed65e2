// Text from the network made safe for a log line: a hostile name must not break the log into lines or
// carry terminal control bytes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// Whether bytes above 0x7E stay (the installer's log is code page 936 text) or become '?' (the
// publisher's log is ASCII).
enum class HighBytes { Keep, Replace };

// text with every control byte (below 0x20, and 0x7F) replaced by '?', and bytes above 0x7F too under
// HighBytes::Replace; only the first maxBytes bytes of text are looked at.
std::string Printable(std::string_view text, HighBytes high = HighBytes::Keep,
                      size_t maxBytes = std::string_view::npos);
