// Tests that the dialog's install sequence never reports a failed install as done: a failure shows
// Failed with the failure text, keeps the previous installation and leaves only the close glyph; and
// that a start after an install was cut short puts the previous installation back first.
#include "tests/ui/dialog_fixture.h"

#include "app/ui_texts.h"
#include "core/install_log.h"
#include "install/install_location.h"
#include "install/install_sequence.h"
#include "install/system_integration.h"
#include "service/notify.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace {

namespace fs = std::filesystem;

constexpr char kColon[] = "\xa3\xba";

void Write(const std::string& path, const std::string& data) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << data;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

std::map<std::string, std::string> Contents(const std::string& root) {
    std::map<std::string, std::string> all;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        all[fs::relative(it->path(), root).string()] = it->is_directory() ? "" : Read(it->path().string());
    return all;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

class InstallOutcomeTest : public DialogTest {
  protected:
    void SetUp() override {
        DialogTest::SetUp();
        Clean();
    }
    void TearDown() override {
        DialogTest::TearDown();
        Clean();
    }
    // Only the folders of this package, in this test's own prefix.
    void Clean() {
        const InstallSettings& s = GetInstallSettings();
        for (const std::wstring& folder : {s.InstallDir, MovedAsideFolder(s), RemovalFolder(s)})
            if (!folder.empty())
                DeleteFolder(folder);
    }
};

// Tests that an install whose previous installation is in use ends in Failed with "Install Fail", the
// previous installation as it was, one log line naming the step, a button that does nothing and a close
// that removes the temporary folder.
TEST_F(InstallOutcomeTest, FailedInstallShowsFailedAndKeepsPrevious) {
    const InstallSettings& s = GetInstallSettings();
    Write(A(s.InstallDir) + "\\TalvikTradeSafe.exe", "old exe");
    Write(A(s.InstallDir) + "\\readme.txt", "old readme");
    const auto before = Contents(A(s.InstallDir));
    Write(A(s.TempDir) + "\\TalvikTradeSafe.exe", "new exe");
    fs::create_directories(A(s.TempDir) + "\\config");

    HANDLE held = CreateFileA((A(s.InstallDir) + "\\readme.txt").c_str(), GENERIC_READ, 0, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    dialog->state = Updating;
    ShowBar(2, 2);
    CompleteDownload();
    CloseHandle(held);

    EXPECT_EQ(dialog->state, Failed);
    EXPECT_EQ(dialog->statusText, TableText(kTextInstallFail, 1033));
    EXPECT_FALSE(InstallLogIsOpen());
    EXPECT_EQ(Contents(A(s.InstallDir)), before);
    EXPECT_FALSE(Exists(A(MovedAsideFolder(s))));
    const std::string log = Read(A(s.TempDir) + "\\log\\install.log");
    EXPECT_NE(log.find(std::string("OnDownloadComplete") + kColon + "MoveAside Faile\r\n"), std::string::npos)
        << log;

    MoveTo(kOnButton);
    Send(WM_LBUTTONDOWN, MAKELPARAM(kOnButton.x, kOnButton.y), MK_LBUTTON);
    EXPECT_EQ(dialog->state, Failed);
    EXPECT_TRUE(dialog->running);
    EXPECT_NE(dialog->hwnd, nullptr);

    Send(WM_CLOSE);
    EXPECT_FALSE(dialog->running);
    dialog.reset();
    EXPECT_FALSE(Exists(A(s.TempDir)));
    EXPECT_EQ(Contents(A(s.InstallDir)), before);
}

// Tests that a start finding the previous installation moved aside and no install folder puts it back
// before the temporary folder and the log are set up, and logs that it did.
TEST_F(InstallOutcomeTest, StartPutsMovedAsideInstallBack) {
    const InstallSettings& s = GetInstallSettings();
    Write(A(MovedAsideFolder(s)) + "\\TalvikTradeSafe.exe", "old exe");
    Write(A(MovedAsideFolder(s)) + "\\config\\orvane.Default.pub", "[orvane]\r\npackage=000185\r\n");
    const auto before = Contents(A(MovedAsideFolder(s)));
    ASSERT_FALSE(Exists(A(s.InstallDir)));

    Open(1033);
    EXPECT_EQ(Contents(A(GetInstallSettings().InstallDir)), before);
    EXPECT_FALSE(Exists(A(MovedAsideFolder(GetInstallSettings()))));
    dialog.reset(); // closes the log
    const std::string log = Read(A(GetInstallSettings().TempDir) + "\\log\\install.log");
    EXPECT_NE(log.find(std::string("OnCreate") + kColon + "Restore Success\r\n"), std::string::npos) << log;
}

} // namespace

// Tests that a start finding a whole installation whose registration is owed (the installer was stopped
// after its commit point) writes the uninstall entry, the configuration files and the link
// before anything else, logs it, and clears the marker.
TEST_F(InstallOutcomeTest, StartFinishesOwedRegistration) {
    const InstallSettings& s = GetInstallSettings();
    const std::string folder = A(s.InstallDir);
    Write(folder + "\\TalvikTradeSafe.exe", "exe");
    Write(folder + "\\module.info", std::string("\x0c\0\0\0\x03\0\0\0", 8));
    Write(A(OwedStepsMarker(s)), "");

    Open(1033);
    EXPECT_TRUE(Exists(folder + "\\config\\orvane.Default.pub"));
    EXPECT_TRUE(Exists(folder + "\\config\\orvane.Default.pri"));
    EXPECT_TRUE(Exists(A(DesktopLinkPath())));
    EXPECT_FALSE(Exists(A(OwedStepsMarker(GetInstallSettings()))));
    EXPECT_EQ(GetInstallSettings().NewVerPart3, 12u);
    dialog.reset(); // closes the log
    const std::string log = Read(A(GetInstallSettings().TempDir) + "\\log\\install.log");
    EXPECT_NE(log.find(std::string("OnCreate") + kColon + "Finish Install Success\r\n"), std::string::npos)
        << log;
}
