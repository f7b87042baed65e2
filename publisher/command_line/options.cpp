#include "publisher/command_line/options.h"

#include <algorithm>
#include <thread>

namespace publisher {
namespace fs = std::filesystem;

namespace {

// The address in host order, or nullopt when `text` is not four dotted numbers from 0 to 255.
std::optional<uint32_t> DottedIPv4(std::string_view text) {
    if (text.size() > 15)
        return std::nullopt;
    uint32_t address = 0;
    int parts = 0;
    size_t start = 0;
    while (true) {
        size_t dot = text.find('.', start);
        std::string_view part = text.substr(start, dot == std::string_view::npos ? text.npos : dot - start);
        auto value = part.size() > 3 ? std::nullopt : ParseNumber<uint32_t>(part, 0, 255);
        if (!value)
            return std::nullopt;
        address = address << 8 | *value;
        ++parts;
        if (dot == std::string_view::npos)
            break;
        start = dot + 1;
    }
    return parts == 4 ? std::optional<uint32_t>(address) : std::nullopt;
}

bool IsDottedIPv4(std::string_view text) {
    return DottedIPv4(text).has_value();
}

} // namespace

std::optional<Endpoint> ParseEndpoint(const std::string& text) {
    size_t colon = text.rfind(':');
    if (colon == std::string::npos)
        return std::nullopt;
    std::string address = text.substr(0, colon);
    auto port = ParseNumber<uint16_t>(std::string_view(text).substr(colon + 1), 0, 65535);
    if (!IsDottedIPv4(address) || !port)
        return std::nullopt;
    return Endpoint{address, *port};
}

std::optional<AdvertisedServer> ParseAdvertised(const std::string& text) {
    constexpr std::string_view kWeight = ",weight=";
    const size_t comma = text.find(',');
    auto endpoint = ParseEndpoint(text.substr(0, comma));
    if (!endpoint || endpoint->port == 0)
        return std::nullopt;
    AdvertisedServer server{*endpoint, 1};
    if (comma == std::string::npos)
        return server;
    std::string_view rest = std::string_view(text).substr(comma);
    if (!rest.starts_with(kWeight))
        return std::nullopt;
    auto weight = ParseNumber<uint32_t>(rest.substr(kWeight.size()), 1, kMaxWeight);
    if (!weight)
        return std::nullopt;
    server.weight = *weight;
    return server;
}

Result<std::vector<AddressBlock>> ParseAddressBlocks(const std::string& text) {
    std::vector<AddressBlock> blocks;
    size_t start = 0;
    while (true) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma == text.npos ? text.npos : comma - start);
        const size_t slash = item.find('/');
        const std::string address = item.substr(0, slash);
        std::optional<uint32_t> bits = 32;
        if (slash != item.npos)
            bits = ParseNumber<uint32_t>(std::string_view(item).substr(slash + 1), 0, 32);
        if (item.empty())
            return Error(ErrorKind::kInvalid, "an empty item");
        const std::optional<uint32_t> network = DottedIPv4(address);
        if (!network || !bits)
            return Error(ErrorKind::kInvalid, "\"" + item + "\" is no IPv4 address or block");
        // A block written with host bits is most likely a typing slip in its address or its length.
        const uint32_t host = *bits == 0 ? ~0u : (*bits == 32 ? 0u : ~0u >> *bits);
        if ((*network & host) != 0)
            return Error(ErrorKind::kInvalid,
                         "\"" + item + "\" has address bits set below its /" + std::to_string(*bits));
        blocks.push_back({*network, *bits});
        if (comma == text.npos)
            return blocks;
        start = comma + 1;
    }
}

bool LiesInside(const fs::path& folder, const fs::path& root) {
    std::error_code ec;
    fs::path f = fs::weakly_canonical(fs::absolute(folder, ec), ec);
    fs::path r = fs::weakly_canonical(fs::absolute(root, ec), ec);
    fs::path rel = f.lexically_relative(r);
    return !rel.empty() && *rel.begin() != "..";
}

unsigned ServingThreads(uint32_t threads) {
    if (threads != 0)
        return threads;
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace publisher
