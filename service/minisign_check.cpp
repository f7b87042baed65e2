#include "service/minisign_check.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>

namespace minisign {
namespace {

constexpr std::string_view kUntrusted = "untrusted comment:";
constexpr std::string_view kTrusted = "trusted comment: ";
// Decoded sizes: algorithm (2), key id (8), then the key (32) or the signature (64).
constexpr size_t kKeyBytes = 2 + 8 + 32;
constexpr size_t kSigBytes = 2 + 8 + 64;

bool Ready() {
    // sodium_init is safe to call from several threads and again; -1 only when it cannot start.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Strict standard base64 of exactly `size` bytes; no blanks, padding as the tool writes it.
bool DecodeBase64(std::string_view text, uint8_t* out, size_t size) {
    if (text.empty() || text.size() != (size + 2) / 3 * 4)
        return false;
    size_t written = 0;
    const char* end = nullptr;
    if (sodium_base642bin(out, size, text.data(), text.size(), nullptr, &written, &end,
                          sodium_base64_VARIANT_ORIGINAL) != 0)
        return false;
    return written == size && end == text.data() + text.size();
}

std::string_view TrimLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    return line;
}

// Splits off the next line, without its LF; false at the end of the text.
bool NextLine(std::string_view& text, std::string_view& line) {
    if (text.empty())
        return false;
    const size_t lf = text.find('\n');
    line = TrimLineEnd(text.substr(0, lf));
    text = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    return true;
}

} // namespace

std::optional<PublicKey> ParsePublicKey(std::string_view text) {
    if (!Ready())
        return std::nullopt;
    std::string_view line;
    std::string_view rest = text;
    if (!NextLine(rest, line))
        return std::nullopt;
    // The key file: a comment line, then the key.
    if (line.substr(0, kUntrusted.size()) == kUntrusted && !NextLine(rest, line))
        return std::nullopt;
    std::string_view tail;
    while (NextLine(rest, tail))
        if (!tail.empty())
            return std::nullopt;
    uint8_t raw[kKeyBytes];
    if (!DecodeBase64(line, raw, sizeof raw) || raw[0] != 'E' || raw[1] != 'd')
        return std::nullopt;
    PublicKey key;
    std::memcpy(key.keyId.data(), raw + 2, 8);
    std::memcpy(key.key.data(), raw + 10, 32);
    return key;
}

std::optional<std::vector<PublicKey>> ParsePublicKeyList(std::string_view text) {
    std::vector<PublicKey> keys;
    while (!text.empty()) {
        const size_t comma = text.find(',');
        std::string_view one = text.substr(0, comma);
        while (!one.empty() && one.front() == ' ')
            one.remove_prefix(1);
        while (!one.empty() && one.back() == ' ')
            one.remove_suffix(1);
        auto key = ParsePublicKey(one);
        if (!key || one.find('\n') != std::string_view::npos)
            return std::nullopt;
        keys.push_back(*key);
        if (comma == std::string_view::npos)
            break;
        text.remove_prefix(comma + 1);
        if (text.empty())
            return std::nullopt; // a trailing comma names a key that is not there
    }
    return keys;
}

std::optional<Signature> ParseSignature(std::string_view text) {
    if (!Ready() || text.size() > kMaxSignatureFile)
        return std::nullopt;
    std::string_view lines[4];
    for (auto& line : lines)
        if (!NextLine(text, line))
            return std::nullopt;
    std::string_view tail;
    while (NextLine(text, tail))
        if (!tail.empty())
            return std::nullopt;
    if (lines[0].substr(0, kUntrusted.size()) != kUntrusted ||
        lines[2].substr(0, kTrusted.size()) != kTrusted)
        return std::nullopt;
    Signature sig;
    uint8_t raw[kSigBytes];
    if (!DecodeBase64(lines[1], raw, sizeof raw) || raw[0] != 'E' || (raw[1] != 'd' && raw[1] != 'D'))
        return std::nullopt;
    sig.prehashed = raw[1] == 'D';
    std::memcpy(sig.keyId.data(), raw + 2, 8);
    std::memcpy(sig.signature.data(), raw + 10, 64);
    sig.trustedComment = std::string(lines[2].substr(kTrusted.size()));
    if (!DecodeBase64(lines[3], sig.globalSignature.data(), sig.globalSignature.size()))
        return std::nullopt;
    return sig;
}

Verdict Verify(std::span<const uint8_t> message, const Signature& signature,
               std::span<const PublicKey> keys) {
    if (!Ready())
        return Verdict::kBadSignature;
    auto key = std::find_if(keys.begin(), keys.end(),
                            [&](const PublicKey& k) { return k.keyId == signature.keyId; });
    if (key == keys.end())
        return Verdict::kUnknownKey;
    uint8_t digest[crypto_generichash_BYTES_MAX];
    const uint8_t* signedBytes = message.data();
    size_t signedSize = message.size();
    if (signature.prehashed) {
        crypto_generichash(digest, sizeof digest, message.data(), message.size(), nullptr, 0);
        signedBytes = digest;
        signedSize = sizeof digest;
    }
    if (crypto_sign_verify_detached(signature.signature.data(), signedBytes, signedSize, key->key.data()) !=
        0)
        return Verdict::kBadSignature;
    // The trusted comment is bound to the signature: both are signed together a second time.
    std::vector<uint8_t> global(signature.signature.begin(), signature.signature.end());
    global.insert(global.end(), signature.trustedComment.begin(), signature.trustedComment.end());
    if (crypto_sign_verify_detached(signature.globalSignature.data(), global.data(), global.size(),
                                    key->key.data()) != 0)
        return Verdict::kBadSignature;
    return Verdict::kValid;
}

} // namespace minisign
