#include "service/package_manifest.h"

#include "service/path_policy.h"

#include <sodium.h>

#include <algorithm>
#include <charconv>

namespace package_manifest {
namespace {

constexpr std::string_view kHeader = "orvane package manifest 1";
// The wire record's widths: a RelDir of 100 and a FileName of 58 bytes.
constexpr size_t kMaxRelDir = 100;
constexpr size_t kMaxFileName = 58;

bool SafePath(std::string_view path) {
    if (path.empty() || IsManifestFile(path))
        return false;
    const size_t last = path_policy::LastSeparator(path);
    const size_t split = last == std::string_view::npos ? 0 : last + 1;
    if (split > kMaxRelDir || path.size() - split > kMaxFileName || path.size() == split)
        return false;
    return path_policy::RefuseRelativePath(path) == nullptr;
}

template <typename T> bool Number(std::string_view text, T& value) {
    // Digits only: no sign, no blank, no leading zero but "0" itself.
    if (text.empty() || (text.size() > 1 && text[0] == '0') ||
        !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    return ec == std::errc() && end == text.data() + text.size();
}

bool HexDigest(std::string_view text, Sha256& digest) {
    if (text.size() != 64)
        return false;
    for (size_t i = 0; i < 32; ++i) {
        uint8_t byte = 0;
        for (char c : text.substr(2 * i, 2)) {
            byte = uint8_t(byte << 4);
            if (c >= '0' && c <= '9')
                byte |= uint8_t(c - '0');
            else if (c >= 'a' && c <= 'f')
                byte |= uint8_t(c - 'a' + 10);
            else
                return false;
        }
        digest[i] = byte;
    }
    return true;
}

// "8.5.A.B": the fixed product words, then the two parts.
bool ParseVersionText(std::string_view text, uint32_t& part3, uint32_t& part4) {
    if (text.substr(0, 4) != "8.5.")
        return false;
    text.remove_prefix(4);
    const size_t dot = text.find('.');
    return dot != std::string_view::npos && Number(text.substr(0, dot), part3) &&
           Number(text.substr(dot + 1), part4);
}

Error Fail(size_t line, const char* problem) {
    return Error(ErrorKind::kInvalid, "line " + std::to_string(line) + ": " + problem);
}

} // namespace

Result<Manifest> Read(std::string_view text) {
    Manifest m;
    if (text.size() > kMaxManifestBytes)
        return Fail(0, "larger than a manifest can be");
    if (!text.empty() && text.back() != '\n')
        return Fail(0, "the last line does not end in a line feed");
    size_t number = 0;
    while (!text.empty()) {
        ++number;
        const size_t lf = text.find('\n');
        const std::string_view line = text.substr(0, lf);
        text.remove_prefix(lf + 1);
        if (line.find('\r') != std::string_view::npos)
            return Fail(number, "carriage return");
        if (number == 1) {
            if (line != kHeader)
                return Fail(number, "not a package manifest of this format");
        } else if (number == 2) {
            if (line.substr(0, 8) != "package " || line.size() == 8 || line.size() > 8 + 10)
                return Fail(number, "expected the package number");
            m.packageNo = std::string(line.substr(8));
            if (std::any_of(m.packageNo.begin(), m.packageNo.end(), [](char c) { return uint8_t(c) <= ' '; }))
                return Fail(number, "the package number holds a blank or control character");
        } else if (number == 3) {
            if (line.substr(0, 8) != "version " || !ParseVersionText(line.substr(8), m.verPart3, m.verPart4))
                return Fail(number, "expected the version as 8.5.part3.part4");
        } else {
            // "file SIZE SHA256 PATH": the path is the rest of the line, blanks and all.
            if (line.substr(0, 5) != "file ")
                return Fail(number, "expected a file line");
            std::string_view rest = line.substr(5);
            const size_t blank = rest.find(' ');
            FileEntry entry;
            if (blank == std::string_view::npos || !Number(rest.substr(0, blank), entry.size))
                return Fail(number, "expected the file's size");
            rest.remove_prefix(blank + 1);
            if (rest.size() < 66 || rest[64] != ' ' || !HexDigest(rest.substr(0, 64), entry.sha256))
                return Fail(number, "expected the file's SHA-256 in lowercase hexadecimal");
            entry.path = std::string(rest.substr(65));
            if (!SafePath(entry.path))
                return Fail(number, "the path is no download path");
            if (!m.files.empty() && !(m.files.back().path < entry.path))
                return Fail(number, "the files are not sorted, or a path is listed twice");
            m.files.push_back(std::move(entry));
        }
    }
    if (number < 3)
        return Fail(number + 1, "the manifest ends before its version");
    return m;
}

bool IsManifestFile(std::string_view path) {
    return path == kManifestName || path == kSignatureName;
}

std::optional<std::string> Format(Manifest manifest) {
    std::sort(manifest.files.begin(), manifest.files.end(),
              [](const FileEntry& a, const FileEntry& b) { return a.path < b.path; });
    std::string text = std::string(kHeader) + "\npackage " + manifest.packageNo + "\nversion 8.5." +
                       std::to_string(manifest.verPart3) + "." + std::to_string(manifest.verPart4) + "\n";
    for (size_t i = 0; i < manifest.files.size(); ++i) {
        const FileEntry& f = manifest.files[i];
        if (!SafePath(f.path) || (i > 0 && f.path == manifest.files[i - 1].path))
            return std::nullopt;
        text += "file " + std::to_string(f.size) + " " + Hex(f.sha256) + " " + f.path + "\n";
    }
    // What is written must read back: the package number's own rules are the parser's.
    if (!Read(text))
        return std::nullopt;
    return text;
}

std::optional<std::pair<uint32_t, uint32_t>> ParseInstalledVersion(std::string_view text) {
    // Written with "%d": a part above 2^31 - 1 appears negative; it reads back as the same 32 bits.
    auto part = [](std::string_view t, uint32_t& out) {
        bool negative = !t.empty() && t[0] == '-';
        if (negative)
            t.remove_prefix(1);
        uint32_t magnitude = 0;
        if (!Number(t, magnitude) || (negative && magnitude > 0x80000000u))
            return false;
        out = negative ? uint32_t(0u - magnitude) : magnitude;
        return true;
    };
    if (text.substr(0, 4) != "8.5.")
        return std::nullopt;
    text.remove_prefix(4);
    const size_t dot = text.find('.');
    uint32_t p3 = 0, p4 = 0;
    if (dot == std::string_view::npos || !part(text.substr(0, dot), p3) || !part(text.substr(dot + 1), p4))
        return std::nullopt;
    return std::make_pair(p3, p4);
}

Sha256 HashBytes(const void* data, size_t size) {
    Sha256 digest{};
    crypto_hash_sha256(digest.data(), static_cast<const unsigned char*>(data), size);
    return digest;
}

std::string Hex(const Sha256& digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(64);
    for (uint8_t b : digest) {
        text += kDigits[b >> 4];
        text += kDigits[b & 15];
    }
    return text;
}

} // namespace package_manifest
