// The installer's check of a complete download on real files: the temporary folder listed and hashed
// (the install log skipped, code page 936 names kept), the installed version read from update.ini, and
// the one log line that says how the check ended.
#include "core/code_page.h"
#include "core/install_log.h"
#include "install/downloaded_files.h"
#include "install/downloaded_package_check.h"
#include "service/local_fs.h"
#include "service/path_folders.h"
#include "tests/install/test_support.h"
#include "tests/service/signing_test_keys.h"

#include <gtest/gtest.h>

#include <windows.h>

namespace {

// "数据\表.bin" in code page 936.
const std::string kChineseFile = "\xCA\xFD\xBE\xDD\\\xB1\xED.bin";

class DownloadedPackageCheckTest : public ::testing::Test {
  protected:
    StateGuard guard;
    ScratchFolder scratch;
    TestSigner signer{9};
    std::vector<minisign::PublicKey> keys{signer.key};
    std::atomic<bool> stop{false};

    void SetUp() override {
        InstallSettings& s = GetInstallSettings();
        s.InstallDir = W(scratch / "Orvane");
        s.TempDir = W(scratch / "Orvanetemp");
        s.PackageNo = "000185";
        s.NewVerPart3 = 12;
        s.NewVerPart4 = 3;
        Put("TalvikTradeSafe.exe", "new terminal");
        Put(kChineseFile, "table");
        Put("server\\depend.zip", "");
        ASSERT_TRUE(CreateDirectoryW((s.TempDir + L"\\log").c_str(), nullptr));
        ASSERT_TRUE(OpenInstallLog(s.TempDir + L"\\log\\install.log"));
        Sign();
    }
    void TearDown() override { CloseInstallLog(); }

    void Remove(const std::string& relative) {
        const std::wstring path = DownloadedFilePath(GetInstallSettings().TempDir, relative);
        ASSERT_TRUE(DeleteFileW(path.c_str()));
    }

    // Written as the download writer does: code page 936 names whatever the system's code page.
    void Put(const std::string& relative, const std::string& data) {
        const LocalPath path{GetInstallSettings().TempDir, relative};
        CreatePathFolders(path);
        UniqueFile file = LocalOpenFile(path, "wb");
        ASSERT_TRUE(file);
        ASSERT_EQ(std::fwrite(data.data(), 1, data.size(), file.Get()), data.size());
        ASSERT_TRUE(file.Close());
    }

    // Writes and signs the manifest of what the temporary folder holds now.
    void Sign() {
        const auto files = HashDownloadedFiles(GetInstallSettings().TempDir, stop);
        ASSERT_TRUE(files) << files.error().message();
        package_manifest::Manifest m{"000185", 12, 3, {}};
        for (auto& f : *files)
            if (!package_manifest::IsManifestFile(f.path))
                m.files.push_back(f);
        const std::string text = *package_manifest::Format(m);
        Put("orvane.manifest", text);
        Put("orvane.manifest.minisig", signer.Sign(text));
    }

    package_check::CheckResult Check() { return CheckDownloadedPackage(GetInstallSettings(), keys, stop); }

    std::string Log() {
        CloseInstallLog();
        auto text = ReadWholeFile(A(GetInstallSettings().TempDir) + "\\log\\install.log");
        return text.value_or("");
    }
};

// Tests that a signed download passes with the install log beside it, that every file is listed once
// under its code page 936 name, and that the log says the check passed.
TEST_F(DownloadedPackageCheckTest, SignedDownloadPasses) {
    const auto files = HashDownloadedFiles(GetInstallSettings().TempDir, stop);
    ASSERT_TRUE(files);
    std::set<std::string> paths;
    for (const auto& f : *files)
        paths.insert(f.path);
    EXPECT_EQ(paths, (std::set<std::string>{"TalvikTradeSafe.exe", kChineseFile, "orvane.manifest",
                                            "orvane.manifest.minisig", "server\\depend.zip"}));
    EXPECT_EQ(Check().check, package_check::Check::kPassed);
    EXPECT_NE(Log().find("CheckPackage\xA3\xBAsigned manifest Success"), std::string::npos);
}

// Tests that a changed file is refused with a log line ending in "Faile" that names the check and the
// file, and that an added file and a missing one are refused too.
TEST_F(DownloadedPackageCheckTest, ChangedAddedAndMissingFilesAreRefused) {
    Put(kChineseFile, "tablf");
    auto result = Check();
    EXPECT_EQ(result.check, package_check::Check::kFileChanged);
    EXPECT_EQ(result.file, kChineseFile);
    EXPECT_NE(Log().find("CheckPackage\xA3\xBA"
                         "file changed " +
                         kChineseFile + " Faile\r\n"),
              std::string::npos);

    Put(kChineseFile, "table");
    Put("extra.dll", "x");
    EXPECT_EQ(Check().check, package_check::Check::kFileNotListed);
    Remove("extra.dll");
    Remove("server\\depend.zip");
    result = Check();
    EXPECT_EQ(result.check, package_check::Check::kFileMissing);
    EXPECT_EQ(result.file, "server\\depend.zip");
}

// Tests that a package older than the installed update.ini's version is refused, the same version is
// not, and that a stop ends the check as a failure.
TEST_F(DownloadedPackageCheckTest, OlderThanInstalledAndStopAreRefused) {
    const InstallSettings& s = GetInstallSettings();
    ASSERT_TRUE(CreateDirectoryW(s.InstallDir.c_str(), nullptr));
    const std::wstring ini = s.InstallDir + L"\\update.ini";
    ASSERT_TRUE(WritePrivateProfileStringW(L"version", L"cur", L"8.5.12.4", ini.c_str()));
    const auto installed = InstalledVersion(s.InstallDir);
    ASSERT_TRUE(installed);
    EXPECT_EQ(*installed, std::make_pair(12u, 4u));
    EXPECT_EQ(Check().check, package_check::Check::kOlderVersion);
    ASSERT_TRUE(WritePrivateProfileStringW(L"version", L"cur", L"8.5.12.3", ini.c_str()));
    EXPECT_EQ(Check().check, package_check::Check::kPassed);
    stop = true;
    EXPECT_NE(Check().check, package_check::Check::kPassed);
}

} // namespace
