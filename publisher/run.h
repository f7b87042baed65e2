// The whole program behind main(): options, package, listeners, signals, the serving loop.
#pragma once

namespace publisher {

// Returns the process exit status (0 after SIGINT/SIGTERM; see --help for the others).
int RunPublisher(int argc, const char* const* argv);

} // namespace publisher
