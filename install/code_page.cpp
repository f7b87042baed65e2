#include "install/code_page.h"

#include <windows.h>

namespace install {

std::wstring WideFromGbk(std::string_view text, size_t maxUnits) {
    if (text.empty() || text.size() > 0x7fffffff)
        return {};
    int n = MultiByteToWideChar(kCodePageGbk, 0, text.data(), int(text.size()), nullptr, 0);
    if (n <= 0 || size_t(n) + 1 > maxUnits)
        return {};
    std::wstring wide(size_t(n), L'\0');
    if (MultiByteToWideChar(kCodePageGbk, 0, text.data(), int(text.size()), wide.data(), n) != n)
        return {};
    return wide;
}

} // namespace install
