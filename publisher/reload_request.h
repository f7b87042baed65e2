// `systemctl reload` tells the truth: the unit's ExecReload is `orvane-publisher --reload $MAINPID`,
// which sends SIGHUP and waits for the service to record the reload's outcome, then exits 0 when the
// new package is served and 1 (with the reason) when it was refused and the old one kept. Without it,
// a reload would report success whatever became of the package.
//
// The outcome lives in $RUNTIME_DIRECTORY/reload-outcome (systemd's RuntimeDirectory=, set for both
// processes): one line, "<pid> <reload number> ok|refused <text>", replaced whole by a rename.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>

namespace publisher {

// Service side, after each reload; does nothing outside systemd (no RUNTIME_DIRECTORY).
void RecordReloadOutcome(bool ok, const std::string& text);

// The --reload side: SIGHUP to `pid`, then wait up to `timeout` for a new outcome. Returns the exit
// status (0 served, 1 refused or no answer, 69 no such process, 64 not run under systemd).
int RequestReload(pid_t pid, std::chrono::milliseconds timeout);

} // namespace publisher
