#include "examples/terminal/launch_record.h"

#include <windows.h>

namespace sample {
namespace {

std::string Utf8(const std::wstring& text) {
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0,
                                   nullptr, nullptr);
    if (size <= 0)
        return {};
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr,
                        nullptr);
    return out;
}

} // namespace

std::string FormatLaunchRecord(const std::wstring& commandLine, const std::wstring& folder) {
    return "command line: " + Utf8(commandLine) + "\r\nfolder: " + Utf8(folder) + "\r\n";
}

bool WriteLaunchRecord(const std::wstring& exeFolder, const std::string& record) {
    const std::wstring target = exeFolder + L"\\" + kLaunchRecordName;
    const std::wstring partial = target + L".partial";
    HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    const bool ok = WriteFile(file, record.data(), static_cast<DWORD>(record.size()), &written, nullptr) &&
                    written == record.size();
    CloseHandle(file);
    if (!ok) {
        DeleteFileW(partial.c_str());
        return false;
    }
    return MoveFileExW(partial.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}

std::wstring ParentFolder(const std::wstring& path) {
    const size_t slash = path.find_last_of(L'\\');
    return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

} // namespace sample
