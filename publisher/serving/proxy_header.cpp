#include "publisher/serving/proxy_header.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace publisher {
namespace {

constexpr std::string_view kV1Prefix = "PROXY ";
constexpr uint8_t kV2Signature[12] = {0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr uint8_t kV2Local = 0x0, kV2Proxy = 0x1;
constexpr uint8_t kFamilyUnspec = 0x0, kFamilyInet = 0x1, kFamilyInet6 = 0x2, kFamilyUnix = 0x3;
constexpr uint8_t kTransportUnspec = 0x0, kTransportStream = 0x1, kTransportDgram = 0x2;

ProxyHeader Invalid(std::string reason) {
    ProxyHeader h;
    h.verdict = ProxyHeader::Verdict::Invalid;
    h.reason = std::move(reason);
    return h;
}

ProxyHeader Done(size_t length) {
    ProxyHeader h;
    h.verdict = ProxyHeader::Verdict::Done;
    h.length = length;
    h.local = true;
    return h;
}

ProxyHeader Client(size_t length, std::string address, uint16_t port) {
    ProxyHeader h = Done(length);
    h.local = false;
    h.address = std::move(address);
    h.port = port;
    return h;
}

// The text of a binary address: what the per-address limit and the log key on.
std::string AddressText(int family, const uint8_t* address) {
    char text[INET6_ADDRSTRLEN] = {};
    return ::inet_ntop(family, address, text, sizeof text) ? std::string(text) : std::string();
}

// A textual address of the family, in its canonical spelling; empty when it is none.
std::string CanonicalAddress(int family, std::string_view text) {
    if (text.size() >= INET6_ADDRSTRLEN || text.find('\0') != text.npos)
        return {};
    char copy[INET6_ADDRSTRLEN] = {};
    std::memcpy(copy, text.data(), text.size());
    uint8_t binary[16];
    if (::inet_pton(family, copy, binary) != 1)
        return {};
    return AddressText(family, binary);
}

// 0 to 65535 in decimal, without sign or leading zero.
bool ParsePort(std::string_view text, uint16_t& port) {
    if (text.empty() || text.size() > 5 || (text.size() > 1 && text[0] == '0'))
        return false;
    uint32_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + uint32_t(c - '0');
    }
    if (value > 65535)
        return false;
    port = uint16_t(value);
    return true;
}

ProxyHeader ParseV1(std::span<const uint8_t> bytes) {
    const size_t prefix = std::min(bytes.size(), kV1Prefix.size());
    if (std::memcmp(bytes.data(), kV1Prefix.data(), prefix) != 0)
        return Invalid("no PROXY signature");
    const size_t scanned = std::min(bytes.size(), kMaxProxyV1Line);
    const auto lf = std::find(bytes.begin(), bytes.begin() + std::ptrdiff_t(scanned), uint8_t('\n'));
    const size_t end = size_t(lf - bytes.begin());
    if (end == scanned) {
        if (scanned == kMaxProxyV1Line)
            return Invalid("version 1 line longer than 107 bytes");
        if (std::find(bytes.begin(), bytes.end() - 1, uint8_t('\r')) != bytes.end() - 1)
            return Invalid("version 1 line with a CR before its end");
        return ProxyHeader{};
    }
    if (bytes[end - 1] != '\r' || std::find(bytes.begin(), lf - 1, uint8_t('\r')) != lf - 1)
        return Invalid("version 1 line not ended by CR LF");
    const std::string_view line(reinterpret_cast<const char*>(bytes.data()) + kV1Prefix.size(),
                                end - 1 - kV1Prefix.size());

    std::vector<std::string_view> fields;
    for (size_t start = 0;;) {
        const size_t space = line.find(' ', start);
        fields.push_back(line.substr(start, space == line.npos ? line.npos : space - start));
        if (space == line.npos)
            break;
        start = space + 1;
    }
    // The balancer could not tell the client's protocol: whatever follows is to be ignored.
    if (fields[0] == "UNKNOWN")
        return Done(end + 1);
    const int family = fields[0] == "TCP4" ? AF_INET : fields[0] == "TCP6" ? AF_INET6 : 0;
    if (family == 0)
        return Invalid("version 1 line with an unknown protocol");
    if (fields.size() != 5)
        return Invalid("version 1 line without exactly two addresses and two ports");
    std::string source = CanonicalAddress(family, fields[1]);
    uint16_t sourcePort = 0, destinationPort = 0;
    if (source.empty() || CanonicalAddress(family, fields[2]).empty())
        return Invalid("version 1 line with an address that is not of its protocol");
    if (!ParsePort(fields[3], sourcePort) || !ParsePort(fields[4], destinationPort))
        return Invalid("version 1 line with a port that is not a number from 0 to 65535");
    return Client(end + 1, std::move(source), sourcePort);
}

ProxyHeader ParseV2(std::span<const uint8_t> bytes) {
    const size_t size = bytes.size();
    if (std::memcmp(bytes.data(), kV2Signature, std::min(size, sizeof kV2Signature)) != 0)
        return Invalid("no PROXY signature");
    const uint8_t command = size > 12 ? bytes[12] & 0x0F : 0;
    if (size > 12 && (bytes[12] >> 4 != 2 || command > kV2Proxy))
        return Invalid("version 2 header with an unknown version or command");
    const uint8_t family = size > 13 ? bytes[13] >> 4 : 0;
    const uint8_t transport = size > 13 ? bytes[13] & 0x0F : 0;
    if (family > kFamilyUnix || transport > kTransportDgram)
        return Invalid("version 2 header with an unknown address family");
    if (size < kProxyV2Fixed)
        return ProxyHeader{};
    const size_t payload = size_t(bytes[14]) << 8 | bytes[15];
    if (payload > kMaxProxyV2Payload)
        return Invalid("version 2 header longer than " + std::to_string(kMaxProxyV2Payload) + " bytes");
    const size_t length = kProxyV2Fixed + payload;
    if (size < length)
        return ProxyHeader{};
    // The balancer's own connection (a health check), or a client it has no address for.
    if (command == kV2Local || family == kFamilyUnspec || transport == kTransportUnspec)
        return Done(length);
    if (family == kFamilyUnix || transport != kTransportStream)
        return Invalid("version 2 header for a connection that is not TCP over IP");
    const uint8_t* block = bytes.data() + kProxyV2Fixed;
    // Two addresses, then two ports; TLVs after them are skipped.
    const size_t addressSize = family == kFamilyInet6 ? 16 : 4;
    if (payload < 2 * addressSize + 4)
        return Invalid("version 2 header with an address block too short for its family");
    const uint16_t port = uint16_t(block[2 * addressSize] << 8 | block[2 * addressSize + 1]);
    return Client(length, AddressText(family == kFamilyInet ? AF_INET : AF_INET6, block), port);
}

} // namespace

ProxyHeader ParseProxyHeader(std::span<const uint8_t> bytes) {
    if (bytes.empty())
        return ProxyHeader{};
    if (bytes[0] == kV2Signature[0])
        return ParseV2(bytes);
    return ParseV1(bytes);
}

} // namespace publisher
