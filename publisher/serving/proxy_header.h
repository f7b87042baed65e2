// The PROXY header a TCP load balancer puts before a client's bytes (version 1, the text line, and
// version 2, the binary block), parsed without I/O: the bytes received so far in, a verdict out.
//
// Used only on connections from the balancers named with --proxy-protocol-from; from any other address
// the first bytes are the installer's and never go through here.
//
// While the verdict is NeedMore, every byte given belongs to the header: a reader may take them off the
// socket and still never take one of the client's bytes behind the header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace publisher {

// The longest version 1 line, its CR LF included.
constexpr size_t kMaxProxyV1Line = 107;
// The longest address block and TLVs a version 2 header may announce: HAProxy's TLVs take a few hundred
// bytes at most, and a peer announcing more only wants memory.
constexpr size_t kMaxProxyV2Payload = 4096;
constexpr size_t kProxyV2Fixed = 16;
constexpr size_t kMaxProxyHeader = kProxyV2Fixed + kMaxProxyV2Payload;

struct ProxyHeader {
    enum class Verdict { NeedMore, Done, Invalid };
    Verdict verdict = Verdict::NeedMore;
    size_t length = 0;   // Done: the header's bytes; what follows is the client's
    bool local = false;  // Done: the balancer speaks for itself (v2 LOCAL, v1 UNKNOWN, no address given)
    std::string address; // Done, not local: the client's address as text (IPv6 without brackets)
    uint16_t port = 0;   // Done, not local: the client's port
    std::string reason;  // Invalid: why, for the log
};

ProxyHeader ParseProxyHeader(std::span<const uint8_t> bytes);

} // namespace publisher
