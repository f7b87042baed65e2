// The whole command line of orvane-publisher, its config file included, read and checked as one.
#pragma once

#include "core/result.h"
#include "publisher/command_line/options.h"

#include <string>

namespace publisher {

// A bad command line or config file is a failure of kind kInvalid, its message one line for people.
Result<ParsedOptions> ParseOptions(int argc, const char* const* argv);
std::string HelpText();

} // namespace publisher
