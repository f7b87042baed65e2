#pragma once

// The installer from start to end: the command line, start-up, the main dialog's run, shut-down. Returns
// the exit code: 0 without /quiet, how the install ended with it (app/exit_codes.h).
int RunInstaller();
