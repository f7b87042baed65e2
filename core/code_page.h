// The one conversion of the program's code page 936 texts to the UTF-16 the wide interfaces need
// (Windows only; the declaration is portable so that portable headers may name it).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace code_page {

constexpr unsigned kCodePageGbk = 936;
constexpr unsigned kCodePageBig5 = 950;

// What becomes of a text that needs more than maxUnits units, terminating NUL included. Refuse gives an
// empty text (a path cut short names another file); Cut keeps the first maxUnits - 1 units (a text shown
// in a fixed buffer).
enum class Overflow { Refuse, Cut };
// Lenient replaces what is not code page 936 with the system's default character; Strict refuses it.
enum class Conversion { Lenient, Strict };
// A maxUnits for texts handed on whole, however long (the wide call itself then decides).
constexpr size_t kAnyLength = SIZE_MAX;

// UTF-16 form of a code page 936 text. Empty when the text is empty or cannot be converted, when maxUnits
// leaves no room beside the NUL, and, with Refuse, when it is too long.
std::wstring WideFromGbk(std::string_view text, size_t maxUnits, Overflow overflow = Overflow::Refuse,
                         Conversion mode = Conversion::Lenient);

// Code page 936 form of a UTF-16 text for the program's 8-bit texts (log lines): a character that page
// lacks becomes '?', so a path that cannot be held is still written whole, never cut or dropped.
std::string GbkFromWide(std::wstring_view text);

// UTF-8 and back, for the messages of failures (core/result.h) that name a wide text, such as a path
// given on the command line: a unit that is no character (a lone surrogate) becomes U+FFFD.
std::string Utf8FromWide(std::wstring_view text);
std::wstring WideFromUtf8(std::string_view text);

} // namespace code_page
