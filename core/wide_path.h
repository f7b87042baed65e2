// Paths the installer computes are kept as the system names them: UTF-16 on Windows, where a profile
// folder's name need not fit any 8-bit code page. The POSIX build (tests and tools only) keeps the bytes
// of a native path in a wide string, one byte per unit, so the same fields carry its paths unchanged.
#pragma once

#include <string>
#include <string_view>

inline std::wstring WidePathFromBytes(std::string_view bytes) {
    std::wstring wide;
    wide.reserve(bytes.size());
    for (char c : bytes)
        wide.push_back(wchar_t(static_cast<unsigned char>(c)));
    return wide;
}

// The inverse of WidePathFromBytes; a unit above 0xFF (never made by it) becomes '?'.
inline std::string BytesFromWidePath(std::wstring_view wide) {
    std::string bytes;
    bytes.reserve(wide.size());
    for (wchar_t c : wide)
        bytes.push_back(static_cast<unsigned>(c) <= 0xFF ? char(c) : '?');
    return bytes;
}
