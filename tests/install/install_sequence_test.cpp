// Tests that the install steps, fed a downloaded tree, either leave the install folder equal to the
// package plus its records and unpacked dependencies, with the registry entry, link and configuration
// written, or leave the previous installation exactly as it was, with one log line naming the step.
#include "install/install_sequence.h"

#include "install/install_location.h"
#include "install/system_integration.h"
#include "install/tunzip.h"
#include "install/win_raii.h"
#include "tests/install/test_support.h"
#include "tests/install/zip_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <map>

namespace {

constexpr char kSubkey[] = "Orvane_sequencetestv8.5";
constexpr char kColon[] = "\xa3\xba";

std::string SubkeyPath() {
    return std::string(UninstallParentKey(IsNative64Bit())) + kSubkey;
}

bool EntryExists() {
    install::RegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, SubkeyPath().c_str(), 0, KEY_QUERY_VALUE, key.Receive()) ==
           ERROR_SUCCESS;
}

// Every file below root with its bytes, folders with an empty text: the whole state of a tree.
std::map<std::string, std::string> Contents(const std::string& root) {
    std::map<std::string, std::string> all;
    for (const std::string& name : ListTree(root))
        all[name] = name.back() == '\\' ? "" : ReadWholeFile(root + "\\" + name).value_or("<unreadable>");
    return all;
}

// The names directly in root.
std::set<std::string> TopLevel(const std::string& root) {
    std::set<std::string> top;
    for (const std::string& name : ListTree(root))
        if (name.find('\\') == std::string::npos || name.find('\\') == name.size() - 1)
            top.insert(name);
    return top;
}

// A file held open with no sharing, as another program would, until the object goes.
class HeldFile {
  public:
    explicit HeldFile(const std::string& path)
        : h_(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~HeldFile() {
        if (Held())
            CloseHandle(h_);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    bool Held() const { return h_ != INVALID_HANDLE_VALUE; }

  private:
    HANDLE h_;
};

class InstallSequence : public ::testing::Test {
  protected:
    void SetUp() override {
        InstallSettings& s = GetInstallSettings();
        s.PackageNo = "sequencetest";
        s.ProductName = "OrvaneSeq";
        s.InstallDir = W(scratch / "Orvane000185v8.5");
        s.TempDir = s.InstallDir + L"temp";
        s.NewVerPart3 = 12;
        s.NewVerPart4 = 3;
        s.UiLanguage = 2052;
        GetModuleList().clear();
        for (const char* name : {"main", "server"}) {
            ModuleRecord r;
            std::strcpy(r.PackageNo, "000185");
            std::strcpy(r.ModuleName, name);
            r.State = 'N';
            GetModuleList().push_back(r);
        }
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, SubkeyPath().c_str());
        DeleteFileA(A(DesktopLinkPath()).c_str());
    }
    void TearDown() override {
        SetOverwritePromptForTesting(nullptr);
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, SubkeyPath().c_str());
        DeleteFileA(A(DesktopLinkPath()).c_str());
    }

    std::string Install() const { return A(GetInstallSettings().InstallDir); }
    std::string Temp() const { return A(GetInstallSettings().TempDir); }
    std::string Log() const { return ReadWholeFile(Temp() + "\\log\\install.log").value_or(""); }

    // An earlier installation, with a file the new package does not bring.
    void MakePrevious() {
        ASSERT_TRUE(WriteWholeFile(Install() + "\\stale.txt", "old"));
        ASSERT_TRUE(WriteWholeFile(Install() + "\\TalvikTradeSafe.exe", "old exe"));
        ASSERT_TRUE(
            WriteWholeFile(Install() + "\\config\\orvane.Default.pub", "[orvane]\r\npackage=old\r\n"));
        ASSERT_TRUE(WriteWholeFile(Install() + "\\log\\install.log", "old log\r\n"));
    }

    // The downloaded package, with a dependency archive.
    void MakeDownload() {
        const std::string t = Temp();
        ASSERT_TRUE(WriteWholeFile(t + "\\TalvikTradeSafe.exe", "new exe"));
        ASSERT_TRUE(WriteWholeFile(t + "\\uninstall.exe", "MZ"));
        ASSERT_TRUE(WriteWholeFile(t + "\\log\\install.log",
                                   std::string("[10:00:00 000]\t\tOnModuleDL") + kColon + "Connect\r\n"));
        ASSERT_TRUE(WriteWholeFile(t + "\\server\\server.cfg", "cfg"));
        ASSERT_TRUE(WriteWholeFile(t + "\\data\\quotes\\q.dat", std::string(70000, 'q')));
        ASSERT_TRUE(CreateDirectoryA((t + "\\config").c_str(), nullptr));
        ASSERT_TRUE(CreateDirectoryA((t + "\\cache").c_str(), nullptr));
        ZipEntrySpec lib;
        lib.name = "lib/dep.dll";
        lib.data = std::string(9000, 'L');
        lib.deflate = true;
        ZipEntrySpec folder;
        folder.name = "plugins/";
        folder.externalAttributes = 0x10;
        ASSERT_TRUE(WriteZip(t + "\\server\\depend.zip", {lib, folder}));
    }

    // The install, run while another program holds path open with no sharing.
    InstallOutcome InstallHolding(const std::string& path) {
        HeldFile held(path);
        EXPECT_TRUE(held.Held()) << path;
        return InstallDownloadedPackage();
    }

    // The previous installation is back byte for byte, nothing is left aside, nothing was registered,
    // and the temporary folder's log names the failed step.
    void ExpectPreviousKept(const std::map<std::string, std::string>& before, const InstallOutcome& outcome,
                            InstallStep step) {
        EXPECT_EQ(outcome.failed, step);
        EXPECT_FALSE(outcome.filesInPlace);
        EXPECT_TRUE(outcome.restored);
        EXPECT_EQ(Contents(Install()), before);
        EXPECT_FALSE(PathExists(A(MovedAsideFolder(GetInstallSettings()))));
        EXPECT_FALSE(PathExists(A(RemovalFolder(GetInstallSettings()))));
        EXPECT_FALSE(EntryExists());
        EXPECT_FALSE(IsFile(A(DesktopLinkPath())));
        const std::string line =
            std::string("OnDownloadComplete") + kColon + InstallStepName(step) + " Faile\r\n";
        const std::string log = Log();
        EXPECT_TRUE(log.size() >= line.size() &&
                    log.compare(log.size() - line.size(), line.size(), line) == 0)
            << log;
    }

    StateGuard guard;
    ScratchFolder scratch;
};

} // namespace

// Tests a whole install over an earlier one: the old folder's stray files go, the package arrives with
// module.info, update.ini and its log, server\depend.zip is unpacked and removed, TempDir is gone and
// nothing is left beside the install folder.
TEST_F(InstallSequence, DownloadedTreeBecomesInstallFolder) {
    MakePrevious();
    MakeDownload();

    const InstallOutcome outcome = InstallDownloadedPackage();
    EXPECT_EQ(outcome.failed, InstallStep::None);
    EXPECT_TRUE(outcome.filesInPlace);

    const InstallSettings& s = GetInstallSettings();
    EXPECT_EQ(ListTree(A(s.InstallDir)),
              (std::set<std::string>{"TalvikTradeSafe.exe", "uninstall.exe", "module.info", "update.ini",
                                     "log\\", "log\\install.log", "server\\", "server\\server.cfg",
                                     "server\\lib\\", "server\\lib\\dep.dll", "server\\plugins\\", "data\\",
                                     "data\\quotes\\", "data\\quotes\\q.dat", "config\\",
                                     "config\\orvane.Default.pub", "config\\orvane.Default.pri", "cache\\"}));
    EXPECT_EQ(ReadWholeFile(A(s.InstallDir) + "\\TalvikTradeSafe.exe"), "new exe");
    EXPECT_EQ(ReadWholeFile(A(s.InstallDir) + "\\server\\lib\\dep.dll"), std::string(9000, 'L'));
    EXPECT_EQ(ReadWholeFile(A(s.InstallDir) + "\\module.info").value_or("").size(), 8u + 79u * 2u);
    EXPECT_EQ(TopLevel(scratch.Path()), std::set<std::string>{"Orvane000185v8.5\\"});
    EXPECT_FALSE(PathExists(A(s.TempDir)));
    EXPECT_FALSE(PathExists(A(MovedAsideFolder(s))));
    EXPECT_FALSE(PathExists(A(RemovalFolder(s))));
    EXPECT_EQ(s.CurVerPart3, 12u);

    char value[64] = {};
    GetPrivateProfileStringA("version", "cur", "", value, sizeof value,
                             (A(s.InstallDir) + "\\update.ini").c_str());
    EXPECT_STREQ(value, "8.5.12.3");
    GetPrivateProfileStringA("orvane", "language", "", value, sizeof value,
                             (A(s.InstallDir) + "\\config\\orvane.Default.pri").c_str());
    EXPECT_STREQ(value, "2052");
    EXPECT_TRUE(EntryExists());
    EXPECT_TRUE(IsFile(A(DesktopLinkPath())));
}

// Tests that a file of the previous installation held open by another program stops the install before
// anything has moved: the previous installation, entry and link stay, and the log says MoveAside.
TEST_F(InstallSequence, HeldFileKeepsPreviousInstall) {
    MakePrevious();
    MakeDownload();
    const auto before = Contents(Install());
    const InstallOutcome outcome = InstallHolding(Install() + "\\stale.txt");
    ExpectPreviousKept(before, outcome, InstallStep::MoveAside);
}

// Tests that a copy that cannot bring every file (one of the download is held open, as a full disk or a
// scanner would make it) is found by the check, the partial copy goes and the previous install is back.
TEST_F(InstallSequence, IncompleteCopyPutsPreviousBack) {
    MakePrevious();
    MakeDownload();
    const auto before = Contents(Install());
    const InstallOutcome outcome = InstallHolding(Temp() + "\\data\\quotes\\q.dat");
    ASSERT_TRUE(outcome.failed == InstallStep::Copy || outcome.failed == InstallStep::Check)
        << InstallStepName(outcome.failed);
    ExpectPreviousKept(before, outcome, outcome.failed);
}

// Tests that Abort answered to the overwrite question fails the dependency step and puts the previous
// install back; the question is asked once.
TEST_F(InstallSequence, AbortedDependencyPutsPreviousBack) {
    static int asked = 0;
    asked = 0;
    SetOverwritePromptForTesting([](const char*, const char*) {
        ++asked;
        return IDABORT;
    });
    MakePrevious();
    MakeDownload();
    // A folder where the archive's file must go: the file cannot be created.
    ASSERT_TRUE(TUnzip::CreateFolder(W(Temp() + "\\server\\lib\\dep.dll")));
    const auto before = Contents(Install());
    const InstallOutcome outcome = InstallDownloadedPackage();
    EXPECT_EQ(asked, 1);
    ExpectPreviousKept(before, outcome, InstallStep::Depend);
}

// Tests that on a machine with no earlier installation a failed copy leaves no install folder behind.
TEST_F(InstallSequence, FreshMachineFailureLeavesNoFolder) {
    MakeDownload();
    const InstallOutcome outcome = InstallHolding(Temp() + "\\uninstall.exe");
    ASSERT_TRUE(outcome.failed == InstallStep::Copy || outcome.failed == InstallStep::Check);
    ExpectPreviousKept({}, outcome, outcome.failed);
    EXPECT_FALSE(PathExists(Install()));
}

// Tests that a cmd.exe and an xcopy.exe planted in the installer's folder and in the current folder do
// not run: the copy is the system's own XCOPY, and the install completes.
TEST_F(InstallSequence, PlantedProgramsDoNotRun) {
    std::string self = StandInTerminalPath();
    const std::string exeFolder = self.substr(0, self.find_last_of('\\'));
    ScratchFolder current;
    std::vector<std::string> planted;
    for (const std::string& folder : {exeFolder, current.Path()})
        for (const char* name : {"cmd.exe", "xcopy.exe", "XCOPY.EXE.exe"}) {
            const std::string path = folder + "\\" + name;
            ASSERT_TRUE(CopyFileA(StandInTerminalPath().c_str(), path.c_str(), FALSE)) << path;
            planted.push_back(path);
        }
    char saved[MAX_PATH] = {};
    GetCurrentDirectoryA(MAX_PATH, saved);
    SetCurrentDirectoryA(current.Path().c_str());
    MakePrevious();
    MakeDownload();
    const InstallOutcome outcome = InstallDownloadedPackage();
    SetCurrentDirectoryA(saved);
    for (const std::string& path : planted)
        DeleteFileA(path.c_str());

    EXPECT_EQ(outcome.failed, InstallStep::None);
    EXPECT_FALSE(IsFile(exeFolder + "\\launch.txt")) << "a planted program ran";
    EXPECT_FALSE(IsFile(current / "launch.txt")) << "a planted program ran";
    EXPECT_EQ(ReadWholeFile(Install() + "\\TalvikTradeSafe.exe"), "new exe");
}

// Tests that a package without a config folder installs whole: the installer makes the folder its own
// configuration files go in, and nothing is left owed.
TEST_F(InstallSequence, PackageWithoutConfigFolderEndsWhole) {
    MakeDownload();
    ASSERT_TRUE(RemoveDirectoryA((Temp() + "\\config").c_str()));
    const InstallOutcome outcome = InstallDownloadedPackage();
    EXPECT_EQ(outcome.failed, InstallStep::None);
    EXPECT_TRUE(IsFile(Install() + "\\config\\orvane.Default.pub"));
    EXPECT_TRUE(IsFile(Install() + "\\config\\orvane.Default.pri"));
    EXPECT_FALSE(PathExists(A(OwedStepsMarker(GetInstallSettings()))));
}

// Tests that a failure after the files are in place (here a file named config where the folder must
// go) keeps the new installation, still registers and links it, logs the step in the installed log and
// leaves the marker; the next start then writes what is owed, logs nothing of its own here, and clears
// the marker, taking the entry's version from the installed module.info.
TEST_F(InstallSequence, LaterStepFailureKeepsNewFilesAndIsFinishedAtNextStart) {
    MakePrevious();
    MakeDownload();
    ASSERT_TRUE(RemoveDirectoryA((Temp() + "\\config").c_str()));
    ASSERT_TRUE(WriteWholeFile(Temp() + "\\config", "in the way"));
    const InstallOutcome outcome = InstallDownloadedPackage();
    EXPECT_EQ(outcome.failed, InstallStep::Config);
    EXPECT_TRUE(outcome.filesInPlace);
    EXPECT_EQ(ReadWholeFile(Install() + "\\TalvikTradeSafe.exe"), "new exe");
    EXPECT_FALSE(PathExists(Install() + "\\stale.txt"));
    EXPECT_FALSE(PathExists(Temp()));
    EXPECT_TRUE(EntryExists());
    EXPECT_TRUE(IsFile(A(DesktopLinkPath())));
    const std::string log = ReadWholeFile(Install() + "\\log\\install.log").value_or("");
    EXPECT_NE(log.find(std::string("OnModuleDL") + kColon + "Connect\r\n"), std::string::npos);
    EXPECT_NE(log.find(std::string("OnDownloadComplete") + kColon + "WriteConfigFiles Faile\r\n"),
              std::string::npos)
        << log;
    InstallSettings& s = GetInstallSettings();
    ASSERT_TRUE(IsFile(A(OwedStepsMarker(s))));

    // The next start, in another process: the version is read back from what was installed.
    ASSERT_TRUE(DeleteFileA((Install() + "\\config").c_str()));
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, SubkeyPath().c_str());
    s.NewVerPart3 = s.NewVerPart4 = 0;
    EXPECT_EQ(FinishOwedSteps(s), OwedSteps::Written);
    EXPECT_TRUE(EntryExists());
    EXPECT_TRUE(IsFile(Install() + "\\config\\orvane.Default.pri"));
    EXPECT_FALSE(PathExists(A(OwedStepsMarker(s))));
    EXPECT_EQ(s.NewVerPart3, 12u);
    EXPECT_EQ(s.NewVerPart4, 3u);
    EXPECT_EQ(FinishOwedSteps(s), OwedSteps::Nothing);
}

// Tests that an install folder that is a link (here a symbolic link to a folder elsewhere) is refused
// before anything moves: Failed with one log line naming it, and neither the link nor what it points
// at is renamed, emptied or deleted.
TEST_F(InstallSequence, LinkedInstallFolderIsRefused) {
    MakeDownload();
    const std::string target = scratch / "elsewhere";
    ASSERT_TRUE(WriteWholeFile(target + "\\keep.txt", "keep"));
    CreateSymbolicLinkW(W(Install()).c_str(), W(target).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY);
    const DWORD attributes = GetFileAttributesW(W(Install()).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        GTEST_SKIP() << "no folder links here";
    const InstallOutcome outcome = InstallDownloadedPackage();
    EXPECT_EQ(outcome.failed, InstallStep::Linked);
    EXPECT_FALSE(outcome.filesInPlace);
    EXPECT_EQ(ListTree(target), std::set<std::string>{"keep.txt"});
    EXPECT_TRUE(GetFileAttributesW(W(Install()).c_str()) & FILE_ATTRIBUTE_REPARSE_POINT);
    EXPECT_FALSE(PathExists(A(MovedAsideFolder(GetInstallSettings()))));
    const std::string line = std::string("OnDownloadComplete") + kColon + "Link " + Install() + " Faile\r\n";
    EXPECT_NE(Log().find(line), std::string::npos) << Log();
    EXPECT_EQ(RecoverInterruptedInstall(GetInstallSettings()), Recovery::Nothing);
    EXPECT_EQ(ListTree(target), std::set<std::string>{"keep.txt"});
    RemoveDirectoryW(W(Install()).c_str());
}

// Tests that the install folder's files are checked against what the download wrote, not only against
// TempDir: a received file missing from both (deleted meanwhile) or of another size fails the check and
// the previous installation comes back.
TEST_F(InstallSequence, ReceivedFileMissingFromBothFailsCheck) {
    MakePrevious();
    MakeDownload();
    const auto before = Contents(Install());
    const std::vector<ReceivedFile> gone{{"TalvikTradeSafe.exe", 7}, {"data\\quotes\\vanished.dat", 10}};
    ExpectPreviousKept(before, InstallDownloadedPackage(gone), InstallStep::Check);

    ASSERT_TRUE(DeleteFolder(W(Temp())));
    MakeDownload();
    const std::vector<ReceivedFile> shorter{{"data\\quotes\\q.dat", 69999}};
    ExpectPreviousKept(before, InstallDownloadedPackage(shorter), InstallStep::Check);

    ASSERT_TRUE(DeleteFolder(W(Temp())));
    MakeDownload();
    const std::vector<ReceivedFile> whole{{"TalvikTradeSafe.exe", 7}, {"data\\quotes\\q.dat", 70000}};
    EXPECT_EQ(InstallDownloadedPackage(whole).failed, InstallStep::None);
}

// Tests the restart after an install was cut short: the moved-aside folder comes back whether the
// install folder is missing or holds a partial copy; a left-over removal folder just goes.
TEST_F(InstallSequence, RestartPutsMovedAsideFolderBack) {
    const InstallSettings& s = GetInstallSettings();
    EXPECT_EQ(RecoverInterruptedInstall(s), Recovery::Nothing);

    MakePrevious();
    const auto before = Contents(Install());
    ASSERT_TRUE(MoveFileA(Install().c_str(), A(MovedAsideFolder(s)).c_str()));
    EXPECT_EQ(RecoverInterruptedInstall(s), Recovery::Restored);
    EXPECT_EQ(Contents(Install()), before);
    EXPECT_FALSE(PathExists(A(MovedAsideFolder(s))));

    ASSERT_TRUE(MoveFileA(Install().c_str(), A(MovedAsideFolder(s)).c_str()));
    ASSERT_TRUE(WriteWholeFile(Install() + "\\TalvikTradeSafe.exe", "half"));
    EXPECT_EQ(RecoverInterruptedInstall(s), Recovery::Restored);
    EXPECT_EQ(Contents(Install()), before);

    ASSERT_TRUE(WriteWholeFile(A(RemovalFolder(s)) + "\\old.txt", "old"));
    EXPECT_EQ(RecoverInterruptedInstall(s), Recovery::Nothing);
    EXPECT_FALSE(PathExists(A(RemovalFolder(s))));
    EXPECT_EQ(Contents(Install()), before);
}

// Tests that a moved-aside folder that could not be put back is never overwritten by the next install:
// that install fails before it moves anything.
TEST_F(InstallSequence, UnrestoredAsideFolderIsKept) {
    const InstallSettings& s = GetInstallSettings();
    MakePrevious();
    ASSERT_TRUE(MoveFileA(Install().c_str(), A(MovedAsideFolder(s)).c_str()));
    const auto aside = Contents(A(MovedAsideFolder(s)));
    MakeDownload();
    const InstallOutcome outcome = InstallDownloadedPackage();
    EXPECT_EQ(outcome.failed, InstallStep::MoveAside);
    EXPECT_EQ(Contents(A(MovedAsideFolder(s))), aside);
    EXPECT_FALSE(PathExists(Install()));
}
