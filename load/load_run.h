// The load's parent process: reads what --expect and --public-key name, makes the scratch folder in
// memory-backed storage, runs the pre-flight probe, then forks one worker process per install at a time
// and hands each its next install number until the count (or the duration) is reached. It collects the
// records, shows the live line, prints the summary, and reaps every child: on Ctrl-C, SIGTERM or the
// run's timeout it kills them first. No child outlives it (each dies with it, PR_SET_PDEATHSIG).
//
// Threads: one, always; the clients run only in the children, and fork needs a parent without threads.
#pragma once

#include "load/exit_status.h"
#include "load/load_options.h"

#include <filesystem>

namespace load {

int RunLoad(const LoadOptions& options);

// Where the downloads go: /dev/shm when it is a writable folder, else $TMPDIR, else /tmp.
std::filesystem::path ScratchBase();

} // namespace load
