// Tests that the sample package's uninstaller removes exactly what an install left behind, and that the
// stand-in terminal records how it was started.
#include "examples/terminal/launch_record.h"
#include "examples/uninstaller/tree_removal.h"
#include "examples/uninstaller/uninstall_target.h"
#include "examples/uninstaller/uninstaller.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::wstring Widen(const char* text) {
    std::wstring out;
    for (; *text; ++text)
        out += *text == '/' ? L'\\' : static_cast<wchar_t>(*text);
    return out;
}

const std::wstring kProgramFolder = Widen(ORVANE_SAMPLE_BIN);

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void WriteFileText(const std::wstring& path, const std::string& text) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create a test file";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

std::string ReadFileBytes(const std::wstring& path) {
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string out;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        out.append(buffer, got);
    CloseHandle(file);
    return out;
}

// Waits for a started program; a guard against a hang, not a measurement. -1 when it did not end.
int WaitForExit(HANDLE process) {
    DWORD code = 0;
    if (WaitForSingleObject(process, 60000) != WAIT_OBJECT_0) {
        TerminateProcess(process, 99);
        return -1;
    }
    GetExitCodeProcess(process, &code);
    return static_cast<int>(code);
}

PROCESS_INFORMATION Start(const std::wstring& exe, const std::wstring& arguments,
                          const std::wstring& folder) {
    std::wstring commandLine = L"\"" + exe + L"\"" + arguments;
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        folder.empty() ? nullptr : folder.c_str(), &startup, &process))
        process.hProcess = nullptr;
    return process;
}

int RunToEnd(const std::wstring& exe, const std::wstring& arguments) {
    PROCESS_INFORMATION process = Start(exe, arguments, L"");
    if (!process.hProcess)
        return -2;
    const int code = WaitForExit(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// Sets a value the way the installer does: text without a terminating NUL, ANSI or UTF-16.
void SetAnsiValue(HKEY key, const char* name, const std::string& text) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                   static_cast<DWORD>(text.size()));
}
void SetWideValue(HKEY key, const wchar_t* name, const std::wstring& text) {
    RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.data()),
                   static_cast<DWORD>(text.size() * sizeof(wchar_t)));
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += static_cast<char>(c); // the test paths are ASCII
    return out;
}

class UninstallerTest : public testing::Test {
  protected:
    void SetUp() override {
        static int counter = 0;
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH, temp);
        const std::wstring tag = std::to_wstring(GetCurrentProcessId()) + L"x" + std::to_wstring(++counter);
        root_ = std::wstring(temp) + L"orvane-sample-" + tag;
        ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
        package_ = L"T" + tag;
        folder_ = root_ + L"\\Orvane" + package_ + L"v8.5";
        uninstaller_ = folder_ + L"\\uninstall.exe";
        desktop_ = root_ + L"\\Desktop";
        link_ = desktop_ + L"\\Orvanev8.5.lnk";
        CreateDirectoryW(desktop_.c_str(), nullptr);
    }

    void TearDown() override {
        for (const wchar_t* parent : sample::kUninstallParents)
            RegDeleteKeyExW(HKEY_LOCAL_MACHINE, KeyPath(parent).c_str(), KEY_WOW64_64KEY, 0);
        std::vector<std::wstring> failed;
        sample::DeleteTree(root_, failed);
    }

    std::wstring KeyPath(const wchar_t* parent) const { return parent + sample::UninstallSubkey(package_); }

    // An installed tree: nested folders, an empty folder, a read-only file and the uninstaller itself.
    void MakeInstall(const std::wstring& folder) {
        for (const wchar_t* sub : {L"", L"\\config", L"\\charts", L"\\charts\\templates", L"\\server",
                                   L"\\server\\data", L"\\server\\data\\empty", L"\\log"})
            ASSERT_TRUE(CreateDirectoryW((folder + sub).c_str(), nullptr));
        WriteFileText(folder + L"\\readme.txt", "sample\r\n");
        WriteFileText(folder + L"\\config\\orvane.Default.pub", "[orvane]\r\npackage=1\r\n");
        WriteFileText(folder + L"\\charts\\templates\\candles.tpl", "candles\r\n");
        WriteFileText(folder + L"\\log\\install.log", "line\r\n");
        SetFileAttributesW((folder + L"\\readme.txt").c_str(), FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(CopyFileW((kProgramFolder + L"\\uninstall.exe").c_str(),
                              (folder + L"\\uninstall.exe").c_str(), FALSE));
        WriteFileText(link_, "not really a link, only its name matters");
    }

    void WriteEntry(const wchar_t* parent, const std::wstring& uninstallString,
                    const std::wstring& shortcut) {
        HKEY key = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, KeyPath(parent).c_str(), 0, nullptr, 0,
                                  KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        SetWideValue(key, L"DisplayName", L"Orvanev8.5");
        SetAnsiValue(key, "UninstallString", Narrow(uninstallString));
        SetAnsiValue(key, "DisplayIcon", Narrow(folder_ + L"\\TalvikTradeSafe.exe"));
        SetAnsiValue(key, "DisplayVersion", "8.5.12.3");
        SetWideValue(key, L"Publisher", L"Talvik Information");
        SetWideValue(key, L"Shortcut", shortcut);
        RegCloseKey(key);
    }

    bool EntryExists(const wchar_t* parent) const {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KeyPath(parent).c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
            ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        return true;
    }

    std::wstring root_, package_, folder_, uninstaller_, desktop_, link_;
};

const wchar_t* const kWowParent = sample::kUninstallParents[0];
const wchar_t* const kPlainParent = sample::kUninstallParents[1];

TEST_F(UninstallerTest, SilentRunRemovesFolderEntriesBelowBothParentsAndTheLink) {
    MakeInstall(folder_);
    WriteEntry(kWowParent, uninstaller_, link_);
    WriteEntry(kPlainParent, uninstaller_, link_);
    // The installer's siblings go; another folder that merely starts with the same name stays.
    for (const wchar_t* sibling : {L"temp", L".previous", L".remove", L"temp2"}) {
        ASSERT_TRUE(CreateDirectoryW((folder_ + sibling).c_str(), nullptr));
        WriteFileText(folder_ + sibling + L"\\install.log", "line\r\n");
    }

    EXPECT_EQ(RunToEnd(uninstaller_, L" /S"), sample::kUninstallDone);

    EXPECT_FALSE(Exists(folder_));
    for (const wchar_t* sibling : {L"temp", L".previous", L".remove"})
        EXPECT_FALSE(Exists(folder_ + sibling)) << sibling;
    EXPECT_TRUE(Exists(folder_ + L"temp2\\install.log"));
    EXPECT_FALSE(EntryExists(kWowParent));
    EXPECT_FALSE(EntryExists(kPlainParent));
    EXPECT_FALSE(Exists(link_));
    EXPECT_TRUE(Exists(root_)) << "the folder's parent must stay";
}

TEST_F(UninstallerTest, EntryOfAnotherInstallAndItsLinkAreLeftAlone) {
    MakeInstall(folder_);
    WriteEntry(kWowParent, L"C:\\elsewhere\\Orvane" + package_ + L"v8.5\\uninstall.exe", link_);

    EXPECT_EQ(RunToEnd(uninstaller_, L" /s"), sample::kUninstallDone);

    EXPECT_FALSE(Exists(folder_));
    EXPECT_TRUE(EntryExists(kWowParent));
    EXPECT_TRUE(Exists(link_));
}

TEST_F(UninstallerTest, FileInUseDeletesNothingSoItCanRunAgain) {
    MakeInstall(folder_);
    WriteEntry(kWowParent, uninstaller_, link_);
    const std::wstring busy = folder_ + L"\\config\\orvane.Default.pub";
    HANDLE held = CreateFileW(busy.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    EXPECT_EQ(RunToEnd(uninstaller_, L" /S"), sample::kUninstallIncomplete);
    EXPECT_TRUE(Exists(busy));
    EXPECT_TRUE(Exists(folder_ + L"\\charts\\templates\\candles.tpl")) << "nothing goes while a file is held";
    EXPECT_TRUE(Exists(uninstaller_));
    EXPECT_TRUE(EntryExists(kWowParent));
    EXPECT_TRUE(Exists(link_));

    CloseHandle(held);
    EXPECT_EQ(RunToEnd(uninstaller_, L" /S"), sample::kUninstallDone);
    EXPECT_FALSE(Exists(folder_));
    EXPECT_FALSE(EntryExists(kWowParent));
    EXPECT_FALSE(Exists(link_));
}

// An entry that cannot be deleted, as without administrator rights (a key with a subkey cannot be
// deleted either): the run stops before the link or any file has gone.
TEST_F(UninstallerTest, EntryThatCannotBeDeletedStopsBeforeAnythingIsDeleted) {
    MakeInstall(folder_);
    WriteEntry(kWowParent, uninstaller_, link_);
    HKEY sub = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, (KeyPath(kWowParent) + L"\\pinned").c_str(), 0, nullptr, 0,
                              KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &sub, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(sub);

    EXPECT_EQ(RunToEnd(uninstaller_, L" /S"), sample::kUninstallNoRights);
    EXPECT_TRUE(EntryExists(kWowParent));
    EXPECT_TRUE(Exists(link_));
    EXPECT_TRUE(Exists(folder_ + L"\\charts\\templates\\candles.tpl"));
    EXPECT_TRUE(Exists(uninstaller_));
    RegDeleteKeyExW(HKEY_LOCAL_MACHINE, (KeyPath(kWowParent) + L"\\pinned").c_str(), KEY_WOW64_64KEY, 0);
}

// uninstall.exe carries a manifest that asks for administrator rights, as the installer does.
TEST(UninstallManifestTest, RequiresAdministrator) {
    HMODULE exe =
        LoadLibraryExW((kProgramFolder + L"\\uninstall.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(exe, nullptr);
    HRSRC found = FindResourceW(exe, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    const char* data = static_cast<const char*>(LockResource(LoadResource(exe, found)));
    const std::string manifest(data, SizeofResource(exe, found));
    FreeLibrary(exe);
    EXPECT_NE(manifest.find("requestedExecutionLevel level=\"requireAdministrator\""), std::string::npos);
}

TEST_F(UninstallerTest, RefusesAFolderThatIsNotAnInstallFolder) {
    const std::wstring tools = root_ + L"\\Tools";
    ASSERT_TRUE(CreateDirectoryW(tools.c_str(), nullptr));
    WriteFileText(tools + L"\\keep.txt", "keep\r\n");
    ASSERT_TRUE(CopyFileW((kProgramFolder + L"\\uninstall.exe").c_str(), (tools + L"\\uninstall.exe").c_str(),
                          FALSE));

    EXPECT_EQ(RunToEnd(tools + L"\\uninstall.exe", L" /S"), sample::kUninstallNotInstalled);
    EXPECT_TRUE(Exists(tools + L"\\keep.txt"));
    EXPECT_TRUE(Exists(tools + L"\\uninstall.exe"));
}

TEST_F(UninstallerTest, ShortcutValueThatIsNotALinkDeletesNothing) {
    MakeInstall(folder_);
    const std::wstring notes = desktop_ + L"\\notes.txt";
    WriteFileText(notes, "mine\r\n");
    WriteEntry(kPlainParent, uninstaller_, notes);

    EXPECT_EQ(RunToEnd(uninstaller_, L" /S"), sample::kUninstallDone);
    EXPECT_TRUE(Exists(notes));
    EXPECT_FALSE(EntryExists(kPlainParent));
    EXPECT_FALSE(Exists(folder_));
}

TEST(UninstallTargetTest, InstallFolderNamesYieldTheirPackageAndNothingElseDoes) {
    EXPECT_EQ(
        sample::PackageOfInstallFolder(L"C:\\users\\a\\AppData\\Roaming\\Orvane000185v8.5").value_or(L"?"),
        L"000185");
    EXPECT_EQ(sample::PackageOfInstallFolder(L"C:\\x\\orvane000185V8.5\\").value_or(L"?"), L"000185");
    EXPECT_FALSE(sample::PackageOfInstallFolder(L"C:\\x\\Orvanev8.5")) << "no package number";
    EXPECT_FALSE(sample::PackageOfInstallFolder(L"C:\\x\\Orvane000185v8.5temp")) << "the download folder";
    EXPECT_FALSE(sample::PackageOfInstallFolder(L"C:\\x\\Orvane 185v8.5"));
    EXPECT_FALSE(sample::PackageOfInstallFolder(L"C:\\x\\Orvane..v8.5"));
    EXPECT_FALSE(sample::PackageOfInstallFolder(L"Orvane000185v8.5")) << "no folder above it";
    EXPECT_FALSE(sample::PackageOfInstallFolder(L"C:\\"));
    EXPECT_EQ(sample::UninstallSubkey(L"000185"), L"Orvane_000185v8.5");
}

TEST(UninstallTargetTest, OnlyAbsoluteLinkPathsCountAsShortcuts) {
    EXPECT_TRUE(sample::IsShortcutPath(L"C:\\users\\a\\Desktop\\Orvanev8.5.lnk"));
    EXPECT_TRUE(sample::IsShortcutPath(L"C:\\users\\a\\Desktop\\Orvanev8.5.LNK"));
    EXPECT_FALSE(sample::IsShortcutPath(L"C:\\users\\a\\Desktop\\notes.txt"));
    EXPECT_FALSE(sample::IsShortcutPath(L"Orvanev8.5.lnk"));
    EXPECT_FALSE(sample::IsShortcutPath(L".lnk"));
    EXPECT_TRUE(sample::SamePath(L"C:\\A\\b\\..\\Uninstall.EXE", L"c:\\a\\uninstall.exe"));
    EXPECT_FALSE(sample::SamePath(L"C:\\a\\uninstall.exe", L"C:\\b\\uninstall.exe"));
}

TEST(TreeRemovalTest, DeletesNestedReadOnlyContentAndCountsAMissingFolderAsDeleted) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring top = std::wstring(temp) + L"orvane-tree-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(top.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\a").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW((top + L"\\a\\b").c_str(), nullptr));
    WriteFileText(top + L"\\a\\b\\locked.txt", "x");
    SetFileAttributesW((top + L"\\a\\b\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);

    std::vector<std::wstring> failed;
    EXPECT_TRUE(sample::DeleteTree(top, failed));
    EXPECT_TRUE(failed.empty());
    EXPECT_FALSE(Exists(top));
    EXPECT_TRUE(sample::DeleteTree(top, failed));
    EXPECT_TRUE(failed.empty());
}

struct FoundWindows {
    DWORD processId;
    std::vector<HWND> windows;
};

BOOL CALLBACK CollectWindow(HWND window, LPARAM context) {
    auto* found = reinterpret_cast<FoundWindows*>(context);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    wchar_t title[64] = {};
    GetWindowTextW(window, title, 64);
    // Only the terminal's own window: the process also owns hidden helper windows.
    if (owner == found->processId && std::wstring(title) == L"TalvikTradeSafe")
        found->windows.push_back(window);
    return TRUE;
}

TEST(StandInTerminalTest, RecordsItsCommandLineAndCurrentFolderBesideItselfAndClosesCleanly) {
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH, temp);
    const std::wstring top =
        std::wstring(temp) + L"orvane-terminal-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring app = top + L"\\app";
    const std::wstring work = top + L"\\work";
    CreateDirectoryW(top.c_str(), nullptr);
    CreateDirectoryW(app.c_str(), nullptr);
    CreateDirectoryW(work.c_str(), nullptr);
    const std::wstring exe = app + L"\\TalvikTradeSafe.exe";
    ASSERT_TRUE(CopyFileW((kProgramFolder + L"\\TalvikTradeSafe.exe").c_str(), exe.c_str(), FALSE));

    PROCESS_INFORMATION process = Start(exe, L" end", work);
    ASSERT_NE(process.hProcess, nullptr);
    const std::wstring record = app + L"\\" + sample::kLaunchRecordName;
    for (int i = 0; i < 600 && !Exists(record); ++i)
        Sleep(50);
    EXPECT_EQ(ReadFileBytes(record), sample::FormatLaunchRecord(L"\"" + exe + L"\" end", work));
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "it stays open";

    FoundWindows found{process.dwProcessId, {}};
    for (int i = 0; i < 600 && found.windows.empty(); ++i) {
        EnumWindows(CollectWindow, reinterpret_cast<LPARAM>(&found));
        if (found.windows.empty())
            Sleep(50);
    }
    ASSERT_FALSE(found.windows.empty());
    for (HWND window : found.windows)
        PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(WaitForExit(process.hProcess), 0);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);

    std::vector<std::wstring> failed;
    sample::DeleteTree(top, failed);
}

TEST(StandInTerminalTest, LaunchRecordIsUtf8WithOneLinePerFact) {
    EXPECT_EQ(sample::FormatLaunchRecord(L"\"C:\\a\\TalvikTradeSafe.exe\" end", L"C:\\\u7528"),
              "command line: \"C:\\a\\TalvikTradeSafe.exe\" end\r\nfolder: C:\\\xe7\x94\xa8\r\n");
    EXPECT_EQ(sample::ParentFolder(L"C:\\a\\b.exe"), L"C:\\a");
    EXPECT_EQ(sample::ParentFolder(L"b.exe"), L"");
}

} // namespace
