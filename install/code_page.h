// Conversions between the program's code page 936 texts and the UTF-16 the wide interfaces need.
#pragma once

#include <string>
#include <string_view>

namespace install {

constexpr unsigned kCodePageGbk = 936;
constexpr unsigned kCodePageBig5 = 950;

// Lenient replaces what is not code page 936 with the system's default character; Strict refuses it.
enum class Conversion { Lenient, Strict };

// UTF-16 form of a code page 936 text. Empty when the text is empty, cannot be converted, or would need
// more than maxUnits units including the terminating NUL: a path cut short names another file.
std::wstring WideFromGbk(std::string_view text, size_t maxUnits, Conversion mode = Conversion::Lenient);

} // namespace install
