#include "app/command_line.h"

#include <windows.h>

#include <shellapi.h>

#include <cwctype>

namespace {

// The switch's name in lower case without its lead character, or empty when `arg` is no switch.
std::wstring SwitchName(const std::wstring& arg) {
    if (arg.size() < 2 || (arg[0] != L'/' && arg[0] != L'-'))
        return {};
    std::wstring name = arg.substr(1);
    for (wchar_t& c : name)
        c = wchar_t(std::towlower(c));
    return name;
}

} // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& args) {
    CommandLine line;
    for (size_t i = 0; i < args.size() && line.error.empty(); ++i) {
        const std::wstring name = SwitchName(args[i]);
        if (name == L"quiet" || name == L"q") {
            line.quiet = true;
        } else if (name == L"launch") {
            line.launch = true;
        } else if (name == L"log") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                line.error = L"/log needs a path";
            else if (!line.logPath.empty())
                line.error = L"/log is given twice";
            else
                line.logPath = args[++i];
        } else {
            line.error = L"Unknown argument: " + args[i];
        }
    }
    // A bad line never installs; /quiet still decides whether a message box may say so.
    for (const std::wstring& arg : args)
        if (SwitchName(arg) == L"quiet" || SwitchName(arg) == L"q")
            line.quiet = true;
    return line;
}

std::vector<std::wstring> ProcessArguments() {
    std::vector<std::wstring> args;
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (argv == nullptr)
        return args;
    for (int i = 1; i < count; ++i)
        args.emplace_back(argv[i]);
    LocalFree(argv);
    return args;
}
