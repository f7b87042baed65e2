#pragma once

// Stops the terminal if a copy runs from the install folder; pauses only when one was found.
int StopRunningTerminal();
