// Test-only signing: a fresh Ed25519 key and signature files in the signing tool's text format, so the
// tests can sign what they tamper with. The format's reading is checked against the tool's own output
// separately (a fixed vector), so these helpers do not only agree with themselves.
#pragma once

#include "service/minisign_check.h"

#include <sodium.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

struct TestSigner {
    unsigned char secret[crypto_sign_SECRETKEYBYTES];
    minisign::PublicKey key;

    explicit TestSigner(uint8_t id) {
        if (sodium_init() < 0)
            std::abort();
        crypto_sign_keypair(key.key.data(), secret);
        key.keyId.fill(id);
    }

    // The public key's one-line form ("RWQ...").
    std::string PublicText() const {
        unsigned char raw[42] = {'E', 'd'};
        std::memcpy(raw + 2, key.keyId.data(), 8);
        std::memcpy(raw + 10, key.key.data(), 32);
        return Base64(raw, sizeof raw);
    }

    std::string Sign(std::string_view message, bool prehashed = true, std::string_view comment = "t") const {
        unsigned char digest[64];
        const unsigned char* m = reinterpret_cast<const unsigned char*>(message.data());
        size_t size = message.size();
        if (prehashed) {
            crypto_generichash(digest, sizeof digest, m, size, nullptr, 0);
            m = digest;
            size = sizeof digest;
        }
        unsigned char raw[74] = {'E', static_cast<unsigned char>(prehashed ? 'D' : 'd')};
        std::memcpy(raw + 2, key.keyId.data(), 8);
        crypto_sign_detached(raw + 10, nullptr, m, size, secret);
        std::string global(reinterpret_cast<const char*>(raw + 10), 64);
        global += comment;
        unsigned char globalSig[64];
        crypto_sign_detached(globalSig, nullptr, reinterpret_cast<const unsigned char*>(global.data()),
                             global.size(), secret);
        return "untrusted comment: test\n" + Base64(raw, sizeof raw) +
               "\ntrusted comment: " + std::string(comment) + "\n" + Base64(globalSig, sizeof globalSig) +
               "\n";
    }

    static std::string Base64(const unsigned char* bytes, size_t size) {
        std::string out(sodium_base64_ENCODED_LEN(size, sodium_base64_VARIANT_ORIGINAL), '\0');
        sodium_bin2base64(out.data(), out.size(), bytes, size, sodium_base64_VARIANT_ORIGINAL);
        out.resize(std::strlen(out.c_str()));
        return out;
    }
};
