// The grammar of orvane-publisher's command line and config file, read with CLI11: which options exist,
// what each value may be, and which file fills in what the command line leaves out. The checks that
// relate options to each other are ParseOptions' (options.cpp).
#pragma once

#include "publisher/options.h"

#include <charconv>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace publisher {

// A whole decimal number from min to max: no sign, no spaces, nothing after it.
template <typename T> std::optional<T> ParseNumber(std::string_view text, T min, T max) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        return std::nullopt;
    return value;
}

// What the command line and the config file gave, each value already checked on its own. For Help,
// Version, Reload and Usage the action is final.
struct GivenOptions {
    ParsedOptions parsed;
    bool noCheck = false;
    std::optional<Endpoint> check; // --check, when given
};

GivenOptions ReadCommandLine(int argc, const char* const* argv);

// Every long option, dashes included: the help must explain each.
std::vector<std::string> OptionNames();

} // namespace publisher
