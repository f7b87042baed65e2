// The load's parent process: reads what --expect and --public-key name, makes the scratch folder in
// memory-backed storage, runs the pre-flight probe, then forks one worker process per install at a time
// and hands each its next install number until the count (or the duration) is reached. It collects the
// records, shows the live line, prints the summary, and reaps every child: on Ctrl-C, SIGTERM or the
// run's timeout it kills them first. No child outlives it (each dies with it, PR_SET_PDEATHSIG).
//
// Threads: one, always; the clients run only in the children, and fork needs a parent without threads.
#pragma once

#include "load/load_options.h"

#include <filesystem>

namespace load {

enum ExitStatus {
    kExitOk = 0,          // every install completed and verified
    kExitFailed = 1,      // an install failed, or the run was stopped or timed out
    kExitUsage = 2,       // bad command line
    kExitUnreachable = 3, // nothing answers at the service's address, or no module list from it
    kExitRefused = 4,     // the service refused the link or the login
    kExitNotOffered = 5,  // the package is not on offer
    kExitCannotRun = 6,   // no scratch folder, no process, no pipe
};

int RunLoad(const LoadOptions& options);

// Where the downloads go: /dev/shm when it is a writable folder, else $TMPDIR, else /tmp.
std::filesystem::path ScratchBase();

} // namespace load
