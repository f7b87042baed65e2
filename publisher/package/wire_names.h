// Names as installers receive them. Every text field of the protocol is read in code page 936 and the
// files are created by Windows, so a name from the package folder (UTF-8 on this side) is converted once
// when the package is loaded, and one that Windows cannot create is refused then rather than failing on
// a trader's desktop.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace publisher {

// The code page 936 bytes of a UTF-8 text; empty when the text is no valid UTF-8 or holds a character
// that code page 936 has no code for.
std::optional<std::string> ToCodePage936(std::string_view utf8);

// Why Windows cannot create a file or folder of this (UTF-8) name, or null when it can: a reserved
// device name with any extension (aux.txt), a character Windows forbids (a:b, control characters), or a
// trailing dot or blank.
const char* WindowsNameProblem(std::string_view name);

} // namespace publisher
