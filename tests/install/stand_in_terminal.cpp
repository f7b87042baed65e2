// A stand-in for the installed terminal, used by the tests of stopping and launching it. It records its
// process id, its arguments and its current folder in launch.txt beside itself, then idles until it is
// stopped (or gives up after two minutes, so a forgotten copy cannot linger).
#include <windows.h>

#include <shellapi.h>

#include <string>

namespace {

std::string Utf8(const std::wstring& text) {
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(size_t(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring folder(self);
    folder.resize(folder.find_last_of(L'\\') + 1);

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    wchar_t current[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);

    // pid, argument count, the arguments after the program, the current folder: one per line.
    std::string record = std::to_string(GetCurrentProcessId()) + "\n" + std::to_string(argc - 1) + "\n";
    for (int i = 1; argv && i < argc; ++i)
        record += Utf8(argv[i]) + "\n";
    record += Utf8(current) + "\n";
    LocalFree(argv);

    // Written under another name and renamed, so a reader never sees half a record.
    std::wstring partial = folder + L"launch.tmp";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, record.data(), DWORD(record.size()), &written, nullptr);
        CloseHandle(file);
        MoveFileExW(partial.c_str(), (folder + L"launch.txt").c_str(), MOVEFILE_REPLACE_EXISTING);
    }
    Sleep(120000);
    return 0;
}
