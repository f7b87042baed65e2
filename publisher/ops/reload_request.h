// `systemctl reload` tells the truth: the unit's ExecReload is `orvane-publisher --reload $MAINPID`,
// which sends SIGHUP and waits for the service to record the reload's outcome, then exits 0 when the
// new package is served and 1 (with the reason) when it was refused and the old one kept. Without it,
// a reload would report success whatever became of the package.
//
// The outcome lives in $RUNTIME_DIRECTORY/reload-outcome (systemd's RuntimeDirectory=, set for both
// processes): one line, "<pid> <reload number> ok|refused <text>", replaced whole by a rename.
#pragma once

#include "core/result.h"

#include <chrono>
#include <string>
#include <sys/types.h>

namespace publisher {

// Service side, after each reload; does nothing outside systemd (no RUNTIME_DIRECTORY).
void RecordReloadOutcome(bool ok, const std::string& text);

struct ReloadOutcome {
    bool served = false; // the new package is served; otherwise the reload was refused
    std::string text;    // what the service recorded
};

// The --reload side: SIGHUP to `pid`, then wait up to `timeout` for a new outcome. Fails with kInvalid
// outside systemd, kNotFound when there is no such process, kBusy when no outcome came in time.
Result<ReloadOutcome> RequestReload(pid_t pid, std::chrono::milliseconds timeout);

} // namespace publisher
