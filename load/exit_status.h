// orvane-load's exit statuses, the one place they are defined: deployers' scripts branch on them
// (load/README.md lists them).
#pragma once

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

} // namespace load
