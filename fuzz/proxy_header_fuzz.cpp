// Whatever a balancer's connection starts with, through the PROXY header parser: no crash, and the
// verdict never depends on how the bytes were split: once a prefix is refused or read whole, every
// longer one gets the same verdict, a header never ends past the bytes given or its cap, and a client
// address is a valid one.
#include "publisher/serving/proxy_header.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdlib>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

bool ValidAddress(const std::string& text) {
    uint8_t binary[16];
    return ::inet_pton(AF_INET, text.c_str(), binary) == 1 ||
           ::inet_pton(AF_INET6, text.c_str(), binary) == 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using publisher::ProxyHeader;
    if (size > publisher::kMaxProxyHeader + 64)
        return 0;
    ProxyHeader first; // the first verdict other than NeedMore
    for (size_t n = 0; n <= size; ++n) {
        const ProxyHeader h = publisher::ParseProxyHeader({data, n});
        if (first.verdict == ProxyHeader::Verdict::NeedMore) {
            Require(h.verdict != ProxyHeader::Verdict::NeedMore || n < publisher::kMaxProxyHeader);
            first = h;
            continue;
        }
        Require(h.verdict == first.verdict && h.length == first.length && h.local == first.local &&
                h.address == first.address && h.port == first.port);
    }
    if (first.verdict == ProxyHeader::Verdict::Done) {
        Require(first.length <= size && first.length <= publisher::kMaxProxyHeader);
        Require(data[0] != 'P' || first.length <= publisher::kMaxProxyV1Line);
        Require(first.local ? first.address.empty() : ValidAddress(first.address));
    } else if (first.verdict == ProxyHeader::Verdict::Invalid) {
        Require(!first.reason.empty());
    }
    return 0;
}
