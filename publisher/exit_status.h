// orvane-publisher's exit statuses (the sysexits.h values service managers and scripts expect) and the
// one place a failure becomes one: what failed and at which step of a run decides the status.
#pragma once

#include "core/result.h"

namespace publisher {

enum ExitStatus : int {
    kExitOk = 0,
    kExitFailed = 1,        // --reload: the reload was refused, or no answer came
    kExitUsage = 64,        // bad command line or config file; --reload outside systemd
    kExitBadPackage = 65,   // the package folder was refused
    kExitUnavailable = 69,  // a listener could not be opened; --reload: no such process
    kExitCannotCreate = 73, // the log file, or the manifest, could not be written
};

enum class RunStep { kCommandLine, kLogFile, kPackage, kListeners, kWriteManifest, kReloadRequest };

inline ExitStatus ExitStatusFor(RunStep step, const Error& error) {
    switch (step) {
    case RunStep::kCommandLine:
        return kExitUsage;
    case RunStep::kLogFile:
        return kExitCannotCreate;
    case RunStep::kPackage:
        return kExitBadPackage;
    case RunStep::kListeners:
        return kExitUnavailable;
    case RunStep::kWriteManifest:
        return error.kind() == ErrorKind::kIo ? kExitCannotCreate : kExitBadPackage;
    case RunStep::kReloadRequest:
        if (error.kind() == ErrorKind::kInvalid)
            return kExitUsage;
        return error.kind() == ErrorKind::kNotFound ? kExitUnavailable : kExitFailed;
    }
    return kExitFailed;
}

} // namespace publisher
