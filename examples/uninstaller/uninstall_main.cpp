// uninstall.exe of the sample package: asks, removes the install it sits in, and says what it could not
// remove. "/S" removes without asking and without any message (for scripted and test runs); the exit
// code then tells the outcome (see UninstallExit).
#include "examples/uninstaller/uninstall_target.h"
#include "examples/uninstaller/uninstaller.h"

#include <windows.h>
#include <shellapi.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kTitle[] = L"Orvane Uninstall";
constexpr size_t kListedAtMost = 12;

bool SilentRequested() {
    int count = 0;
    LPWSTR* arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!arguments)
        return false;
    bool silent = false;
    for (int i = 1; i < count; ++i)
        if (CompareStringOrdinal(arguments[i], -1, L"/S", -1, TRUE) == CSTR_EQUAL)
            silent = true;
    LocalFree(arguments);
    return silent;
}

std::wstring SelfPath() {
    std::vector<wchar_t> buffer(32768);
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length > 0 && length < buffer.size() ? std::wstring(buffer.data(), length) : std::wstring();
}

void AppendList(std::wstring& text, const std::vector<std::wstring>& items) {
    for (size_t i = 0; i < items.size() && i < kListedAtMost; ++i)
        text += L"\n    " + items[i];
    if (items.size() > kListedAtMost)
        text += L"\n    ... and " + std::to_wstring(items.size() - kListedAtMost) + L" more";
}

std::wstring Report(const sample::UninstallOutcome& outcome) {
    std::wstring text;
    if (outcome.exitCode == sample::kUninstallNoRights) {
        text = L"The uninstall entry could not be removed:";
        AppendList(text, outcome.notRemoved);
        text += L"\n\nRun the uninstaller as administrator. Nothing was removed.";
    } else if (outcome.notRemoved.empty()) {
        text = L"Orvane has been removed from this computer.";
    } else {
        text = L"These could not be removed:";
        AppendList(text, outcome.notRemoved);
        text += L"\n\nClose the Orvane terminal if it is running, then run the uninstaller again.";
    }
    if (!outcome.leftAlone.empty()) {
        text += L"\n\nLeft as they are:";
        AppendList(text, outcome.leftAlone);
    }
    return text;
}

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
    const bool silent = SilentRequested();
    const std::wstring self = SelfPath();
    const std::wstring folder = sample::InstallFolderOf(self);
    if (!sample::PackageOfInstallFolder(folder)) {
        if (!silent) {
            const std::wstring text = L"This uninstaller is not inside an Orvane install folder:\n    " +
                                      folder + L"\nNothing was removed.";
            MessageBoxW(nullptr, text.c_str(), kTitle, MB_OK | MB_ICONWARNING);
        }
        return sample::kUninstallNotInstalled;
    }
    if (!silent) {
        const std::wstring question = L"Remove Orvane from this computer?\n\nThis deletes the folder\n    " +
                                      folder +
                                      L"\nwith everything in it, the desktop link and the uninstall entry.";
        if (MessageBoxW(nullptr, question.c_str(), kTitle, MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) !=
            IDYES)
            return sample::kUninstallCancelled;
    }
    const sample::UninstallOutcome outcome = sample::Uninstall(self);
    if (!silent)
        MessageBoxW(nullptr, Report(outcome).c_str(), kTitle,
                    MB_OK | (outcome.notRemoved.empty() ? MB_ICONINFORMATION : MB_ICONWARNING));
    return outcome.exitCode;
}
