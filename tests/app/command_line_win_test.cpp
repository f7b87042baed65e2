// Tests that the installer's command line is read as a software-distribution tool writes it, and that
// anything else is a bad line that names its fault and installs nothing.
#include "app/command_line.h"
#include "core/code_page.h"

#include <gtest/gtest.h>

namespace {

// Tests the switches: case, '-' for '/', /log with its path; and each bad line's reason, with /quiet
// kept wherever it stands so that no message box waits for a person.
TEST(CommandLine, SwitchesAndBadLines) {
    struct Case {
        std::vector<std::wstring> args;
        bool quiet, launch;
        std::wstring log, error;
    };
    const Case cases[] = {
        {{}, false, false, L"", L""},
        {{L"/quiet"}, true, false, L"", L""},
        {{L"-Q", L"/LAUNCH"}, true, true, L"", L""},
        {{L"/Quiet", L"-log", L"C:\\logs\\\u9648\u5fd7\u660e\\install.log"},
         true,
         false,
         L"C:\\logs\\\u9648\u5fd7\u660e\\install.log",
         L""},
        {{L"/q", L"/log"}, true, false, L"", L"/log needs a path"},
        {{L"/log", L"a.log", L"/log", L"b.log"}, false, false, L"", L"/log is given twice"},
        {{L"/silent", L"/quiet"}, true, false, L"", L"Unknown argument: /silent"},
        {{L"install"}, false, false, L"", L"Unknown argument: install"},
        {{L"/"}, false, false, L"", L"Unknown argument: /"},
        {{L"/\u9648\u5fd7"}, false, false, L"", L"Unknown argument: /\u9648\u5fd7"}, // the box shows it whole
    };
    for (const Case& c : cases) {
        const Result<CommandLine> line = ParseCommandLine(c.args);
        EXPECT_EQ(AsksQuiet(c.args), c.quiet) << c.args.size();
        if (!line) {
            EXPECT_EQ(code_page::WideFromUtf8(line.error().message()), c.error);
            continue;
        }
        EXPECT_EQ(c.error, L"");
        EXPECT_EQ(line->quiet, c.quiet) << c.args.size();
        EXPECT_EQ(line->launch, c.launch) << c.args.size();
        EXPECT_EQ(line->logPath, c.log);
    }
}

} // namespace
