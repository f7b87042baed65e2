// The grammar of orvane-publisher's command line and config file, read with CLI11: which options exist,
// what each value may be, and which file fills in what the command line leaves out. The checks that
// relate options to each other are ParseOptions' (parse_options.cpp).
#pragma once

#include "core/result.h"
#include "publisher/command_line/options.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace publisher {

// What the command line and the config file gave, each value already checked on its own. For Help,
// Version and Reload the action is final; a bad line or config file is a failure of kind kInvalid.
struct GivenOptions {
    ParsedOptions parsed;
    bool noCheck = false;
    std::optional<Endpoint> check; // --check, when given
};

Result<GivenOptions> ReadCommandLine(int argc, const char* const* argv);

// Every long option, dashes included: the help must explain each.
std::vector<std::string> OptionNames();

} // namespace publisher
