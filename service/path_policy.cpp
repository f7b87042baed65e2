#include "service/path_policy.h"

namespace path_policy {

namespace {

char UpperAscii(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (UpperAscii(a[i]) != UpperAscii(b[i]))
            return false;
    return true;
}

// The device's digit: 0-9, or a superscript 1-3 as one code page 1252 byte or as UTF-8.
bool IsPortNumber(std::string_view rest) {
    if (rest.size() == 1) {
        const uint8_t c = uint8_t(rest[0]);
        return (c >= '0' && c <= '9') || c == 0xB9 || c == 0xB2 || c == 0xB3;
    }
    return rest == "\xC2\xB9" || rest == "\xC2\xB2" || rest == "\xC2\xB3";
}

bool IsForbiddenChar(uint8_t c) {
    return c < 0x20 || c == 0x7F || c == '<' || c == '>' || c == '"' || c == '|' || c == '?' || c == '*' ||
           c == ':' || c == '/';
}

} // namespace

size_t CharWidth936(std::string_view text, size_t at) {
    if (!IsLeadByte936(uint8_t(text[at])) || at + 1 >= text.size())
        return 1;
    // Only a real trail byte joins the lead: "\x81/" is a stray byte and a slash, as the system reads it.
    const uint8_t trail = uint8_t(text[at + 1]);
    return (trail >= 0x40 && trail <= 0x7E) || (trail >= 0x80 && trail <= 0xFE) ? 2 : 1;
}

size_t Separators::Next(size_t from) const {
    for (size_t i = from; i < path_.size(); i += CharWidth936(path_, i))
        if (path_[i] == separator_)
            return i;
    return path_.size();
}

std::string ToBackslashes(std::string_view path) {
    std::string out(path);
    for (size_t at : Separators(path, '/'))
        out[at] = '\\';
    return out;
}

std::vector<std::string_view> SplitComponents(std::string_view path) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t at : Separators(path)) {
        parts.push_back(path.substr(start, at - start));
        start = at + 1;
    }
    parts.push_back(path.substr(start));
    return parts;
}

size_t LastSeparator(std::string_view path) {
    size_t last = std::string_view::npos;
    for (size_t at : Separators(path))
        last = at;
    return last;
}

bool IsDeviceName(std::string_view component) {
    // The extension does not matter, nor blanks before it: "con .txt" is the console too. A dot inside a
    // double-byte character is impossible (trail bytes start at 0x40), so a byte search is safe here.
    std::string_view base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ')
        base.remove_suffix(1);
    for (const char* name : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"})
        if (EqualsIgnoringCase(base, name))
            return true;
    if (base.size() < 4)
        return false;
    const std::string_view stem = base.substr(0, 3);
    return (EqualsIgnoringCase(stem, "COM") || EqualsIgnoringCase(stem, "LPT")) &&
           IsPortNumber(base.substr(3));
}

const char* RefuseRelativePath(std::string_view path, RelativePathRules rules) {
    if (path.empty())
        return "empty name";
    if (path.front() == '\\')
        return "absolute path";
    size_t lastChar = 0;
    for (size_t i = 0; i < path.size(); i += CharWidth936(path, i)) {
        const uint8_t c = uint8_t(path[i]);
        lastChar = i;
        if (CharWidth936(path, i) == 2)
            continue; // both bytes belong to one character; its trail byte is no separator or mark
        if (c == ':')
            return "colon or drive letter";
        if (c == '/')
            return "slash";
        if (IsForbiddenChar(c))
            return "character not allowed in a file name";
    }
    if (rules.allowTrailingSeparator && path.size() > 1 && lastChar == path.size() - 1 && path.back() == '\\')
        path.remove_suffix(1);
    bool named = false; // "." and ".\." name the folder itself, not something below it
    for (std::string_view part : SplitComponents(path)) {
        if (rules.allowCurrentFolder && part == ".")
            continue;
        named = true;
        if (part.find_first_not_of(". ") == std::string_view::npos)
            return "empty or dot-only component";
        if (IsDeviceName(part))
            return "device name";
    }
    return named ? nullptr : "empty name";
}

} // namespace path_policy

Status IsSafeDownloadPath(std::string_view relDir, std::string_view fileName) {
    // The same rule as for archive entries: one place decides what may be written below a folder.
    const char* reason = fileName.empty()
                             ? "empty file name"
                             : path_policy::RefuseRelativePath(std::string(relDir) + std::string(fileName));
    if (reason)
        return Error(ErrorKind::kInvalid, reason);
    return Ok();
}
