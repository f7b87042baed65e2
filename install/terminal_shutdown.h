// Stopping a copy of the installed terminal before its files are replaced.
#pragma once

#include <cstdint>

// Stops the terminal if a copy runs from the install folder; pauses only when one was found.
int StopRunningTerminal();

// The pause after a stop goes through this hook so tests can observe it without waiting. Null restores
// the system's Sleep.
using ShutdownSleepFn = void (*)(uint32_t milliseconds);
void SetShutdownSleepForTesting(ShutdownSleepFn sleep);
