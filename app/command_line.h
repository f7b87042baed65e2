// The installer's command line. Without arguments it is the installer of old: a window, a click, exit
// code 0. The switches are for software-distribution tools that install on many desks unwatched:
//   /quiet (/q)   no window and nothing that waits for a person; the install runs as after a press
//                 of Install, and the exit code says how it ended (app/exit_codes.h)
//   /launch       with /quiet: start the terminal at the end, as the Open button would
//   /log PATH     also write the install log to PATH (its folder is made)
// Switches are case-insensitive and may start with '-' instead of '/'.
#pragma once

#include "core/result.h"

#include <string>
#include <vector>

struct CommandLine {
    bool quiet = false;
    bool launch = false;
    std::wstring logPath; // empty: the log stays where it always is, alone
};

// Reads the arguments after the program's name. A bad line is a failure of kind kInvalid whose message
// (UTF-8) says why, for a message box.
Result<CommandLine> ParseCommandLine(const std::vector<std::wstring>& args);
// Whether /quiet (or /q) stands anywhere on the line: even a bad line must not then wait for a person.
bool AsksQuiet(const std::vector<std::wstring>& args);

// The process's own arguments after its name, in UTF-16 (Windows).
std::vector<std::wstring> ProcessArguments();
