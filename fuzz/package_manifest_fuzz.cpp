// The signed package's parsers on arbitrary bytes: the manifest (whatever reads must write back to the
// same bytes), the signature file, public keys and update.ini's version, and the whole check with them.
#include "service/package_check.h"

#include <cstdint>
#include <cstdlib>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    if (auto manifest = package_manifest::Read(text)) {
        auto again = package_manifest::Format(*manifest);
        if (!again || *again != text)
            std::abort(); // a manifest that reads must be exactly what the writer writes
    }
    (void)package_manifest::ParseInstalledVersion(text);
    (void)minisign::ParsePublicKeyList(text);
    // The first line as a key, the rest as a signature over the manifest text itself.
    const size_t lf = text.find('\n');
    const auto key = minisign::ParsePublicKey(text.substr(0, lf));
    const std::string_view rest = lf == std::string_view::npos ? std::string_view() : text.substr(lf + 1);
    if (const auto sig = minisign::ParseSignature(rest); sig && key) {
        const minisign::PublicKey keys[] = {*key};
        (void)minisign::Verify({data, size}, *sig, keys);
    }
    const package_manifest::FileEntry files[] = {{"a.exe", 1, {}}, {"b\\c.dll", 0, {}}};
    const package_check::Expectation expected{"000185", 12, 3, std::make_pair(12u, 3u)};
    if (key) {
        const minisign::PublicKey keys[] = {*key};
        (void)package_check::CheckPackage(keys, text, rest, expected, files);
    }
    return 0;
}
