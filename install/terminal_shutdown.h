// Stopping a copy of the installed terminal before its files are replaced.
#pragma once

#include <cstdint>

// Stops the terminal if a copy runs from the install folder; pauses only when one was found. The
// process is opened first and its image path checked on that handle before it is terminated through it.
int StopRunningTerminal();

// How a candidate process id from the snapshot is opened (with terminate, wait and query rights). Tests
// return a handle to another process, as if the id had been reused between the snapshot and the open.
// Null restores OpenProcess.
using ShutdownOpenFn = void* (*)(uint32_t processId);
void SetShutdownOpenForTesting(ShutdownOpenFn open);

// The pause after a stop goes through this hook so tests can observe it without waiting. Null restores
// the system's Sleep.
using ShutdownSleepFn = void (*)(uint32_t milliseconds);
void SetShutdownSleepForTesting(ShutdownSleepFn sleep);
