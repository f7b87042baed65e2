// The installer's command line. Without arguments it is the installer of old: a window, a click, exit
// code 0. The switches are for software-distribution tools that install on many desks unwatched:
//   /quiet (/q)   no window and nothing that waits for a person; the install runs as after a press
//                 of Install, and the exit code says how it ended (app/exit_codes.h)
//   /launch       with /quiet: start the terminal at the end, as the Open button would
//   /log PATH     also write the install log to PATH (its folder is made)
// Switches are case-insensitive and may start with '-' instead of '/'.
#pragma once

#include <string>
#include <vector>

struct CommandLine {
    bool quiet = false;
    bool launch = false;
    std::wstring logPath; // empty: the log stays where it always is, alone
    std::wstring error;   // not empty: the command line is bad, and this says why (for a message box)
};

// Reads the arguments after the program's name.
CommandLine ParseCommandLine(const std::vector<std::wstring>& args);

// The process's own arguments after its name, in UTF-16 (Windows).
std::vector<std::wstring> ProcessArguments();
