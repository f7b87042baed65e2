#include "core/code_page.h"

#include <windows.h>

namespace code_page {

std::wstring WideFromGbk(std::string_view text, size_t maxUnits, Overflow overflow, Conversion mode) {
    if (text.empty() || maxUnits < 2 || text.size() > 0x7fffffff)
        return {};
    const DWORD flags = mode == Conversion::Strict ? MB_ERR_INVALID_CHARS : 0;
    int n = MultiByteToWideChar(kCodePageGbk, flags, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0 || (overflow == Overflow::Refuse && size_t(n) + 1 > maxUnits))
        return {};
    std::wstring wide(size_t(n), L'\0');
    if (MultiByteToWideChar(kCodePageGbk, flags, text.data(), int(text.size()), wide.data(), n) != n)
        return {};
    if (wide.size() > maxUnits - 1)
        wide.resize(maxUnits - 1);
    return wide;
}

std::string GbkFromWide(std::wstring_view text) {
    if (text.empty() || text.size() > 0x3fffffff)
        return {};
    const int units = int(text.size());
    // No best fit: a look-alike could be a separator or name another file; '?' names none.
    const DWORD flags = WC_NO_BEST_FIT_CHARS;
    int n = WideCharToMultiByte(kCodePageGbk, flags, text.data(), units, nullptr, 0, "?", nullptr);
    if (n <= 0)
        return std::string(text.size(), '?');
    std::string out(size_t(n), '\0');
    if (WideCharToMultiByte(kCodePageGbk, flags, text.data(), units, out.data(), n, "?", nullptr) != n)
        return std::string(text.size(), '?');
    return out;
}

std::string Utf8FromWide(std::wstring_view text) {
    if (text.empty() || text.size() > 0x1fffffff)
        return {};
    const int units = int(text.size());
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return {};
    std::string out(size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), units, out.data(), n, nullptr, nullptr);
    return out;
}

std::wstring WideFromUtf8(std::string_view text) {
    if (text.empty() || text.size() > 0x7fffffff)
        return {};
    const int bytes = int(text.size());
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
    if (n <= 0)
        return {};
    std::wstring out(size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, out.data(), n);
    return out;
}

} // namespace code_page
