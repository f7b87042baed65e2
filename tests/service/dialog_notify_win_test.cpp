// Tests how the main dialog takes the attempts' notifications: what a lost download leaves queued is
// dropped, and one attempt starts one download.
#include "tests/ui/dialog_fixture.h"

#include "core/install_log.h"
#include "core/install_settings.h"
#include "service/notify.h"

#include <fstream>
#include <iterator>
#include <string>

namespace {

// The number of times `line` stands in the install log (written through, line by line).
size_t LogCount(const std::string& line) {
    std::ifstream in(A(GetInstallSettings().TempDir) + "\\log\\install.log", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t n = 0;
    for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1))
        ++n;
    return n;
}

// Tests that after a lost download (a wait for the next attempt), what its clients had queued (1131,
// 1132, an accepted 1133) is dropped, and that notifications of another attempt are dropped as well.
TEST_F(DialogTest, StaleDownloadNotificationsAreDropped) {
    PressInstall();
    AnnounceModules();
    Notify(kNotifyDLLost);
    ASSERT_TRUE(dialog->Waiting());
    for (UINT message : {kNotifyFileDone, kNotifyDLAuthentLink, kNotifyDownloadDone}) {
        Notify(message);
        Send(message, 0, 7);
    }
    EXPECT_TRUE(dialog->Waiting());
    EXPECT_EQ(dialog->state, Updating);
    EXPECT_EQ(dialog->doneCount, 0);
    EXPECT_EQ(dialog->totalCount, 0);
    EXPECT_EQ(dialog->packageCheck, nullptr);
}

// Tests that a second announcement of the module list within one attempt starts no second download:
// the first one's connect (to a port where nobody listens) fails the attempt, the second neither
// connects nor logs.
TEST_F(DialogTest, ModuleListStartsTheDownloadOnce) {
    PressInstall();
    InstallSettings& s = GetInstallSettings();
    std::strcpy(s.DownloadAddress, "127.0.0.1");
    s.DownloadPort = testpeer::RefusedPort();
    Notify(kNotifyModuleListDone);
    EXPECT_TRUE(dialog->Waiting()); // the failed connect reported itself during the call
    Notify(kNotifyModuleListDone);
    EXPECT_EQ(LogCount("OnModuleDL\xa3\xba"
                       "Connect"),
              1u);
    EXPECT_EQ(LogCount("DownloadAttempts\xa3\xba"
                       "Attempt 1 download connect"),
              1u);
}

} // namespace
