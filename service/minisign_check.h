// Checks a detached signature made by the deployer's signing tool: an Ed25519 key pair, the signature
// file beside the signed file (an untrusted comment, the signature, a trusted comment, and a second
// signature over the first and the trusted comment). The cryptography is libsodium's; this file only
// reads the two text formats and calls it. Portable and stateless; any thread.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace minisign {

struct PublicKey {
    std::array<uint8_t, 8> keyId{};
    std::array<uint8_t, 32> key{};
};

struct Signature {
    bool prehashed = false; // the file's BLAKE2b-512 digest was signed, not the file itself
    std::array<uint8_t, 8> keyId{};
    std::array<uint8_t, 64> signature{};
    std::string trustedComment;
    std::array<uint8_t, 64> globalSignature{};
};

// A signature file is a few short lines; anything much larger is no signature file.
constexpr size_t kMaxSignatureFile = 16 * 1024;

// The one-line base64 form of a public key ("RWQ..."), or the key file's text (its comment line, then
// that line). Empty when it is not a well-formed Ed25519 key.
std::optional<PublicKey> ParsePublicKey(std::string_view text);
// Every key of a comma-separated list; empty when any of them is malformed.
std::optional<std::vector<PublicKey>> ParsePublicKeyList(std::string_view text);

// The four lines of a signature file (LF or CRLF, the last line ending optional). Empty when malformed.
std::optional<Signature> ParseSignature(std::string_view text);

enum class Verdict {
    kValid,
    kUnknownKey,   // made by a key that is not among the trusted ones
    kBadSignature, // the signature or the trusted comment's signature does not match
};

// Checks `signature` over `message` against the trusted key with the signature's key id.
Verdict Verify(std::span<const uint8_t> message, const Signature& signature, std::span<const PublicKey> keys);

} // namespace minisign
