#include "app/command_line.h"

#include "core/code_page.h"

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

Result<CommandLine> ParseCommandLine(const std::vector<std::wstring>& args) {
    auto bad = [](const std::wstring& why) {
        return Error(ErrorKind::kInvalid, code_page::Utf8FromWide(why));
    };
    CommandLine line;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring name = SwitchName(args[i]);
        if (name == L"quiet" || name == L"q") {
            line.quiet = true;
        } else if (name == L"launch") {
            line.launch = true;
        } else if (name == L"log") {
            if (i + 1 >= args.size() || args[i + 1].empty())
                return bad(L"/log needs a path");
            if (!line.logPath.empty())
                return bad(L"/log is given twice");
            line.logPath = args[++i];
        } else {
            return bad(L"Unknown argument: " + args[i]);
        }
    }
    return line;
}

bool AsksQuiet(const std::vector<std::wstring>& args) {
    for (const std::wstring& arg : args)
        if (SwitchName(arg) == L"quiet" || SwitchName(arg) == L"q")
            return true;
    return false;
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
