#pragma once

// The installer from start to end: start-up, the main dialog's modal run, shut-down. Returns the exit
// code, always 0.
int RunInstaller();
