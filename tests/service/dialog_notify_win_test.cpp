// Tests how the main dialog takes the service clients' notifications: the download starts once per run,
// and what the download client posted before a failure it has already reported is dropped (a sent loss
// report overtakes messages posted before it).
#include "tests/ui/dialog_fixture.h"

#include "core/install_log.h"
#include "core/install_settings.h"
#include "service/notify.h"

#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

namespace {

// Tests that after the download client's run failed, its queued 1131, 1132 and accepted 1133 leave the
// dialog in Failed, untouched, while a refused link (1133 with a code) is still shown.
TEST_F(DialogTest, StaleDownloadNotificationsAreDropped) {
    dialog->state = Updating;
    dialog->downloadClient->Stop(); // nothing open: the run ends without a report of its own
    ASSERT_TRUE(dialog->downloadClient->Failed());
    Send(kNotifyDLLost);
    ASSERT_EQ(dialog->state, Failed);
    Send(kNotifyFileDone);
    Send(kNotifyDLAuthentLink, 0);
    Send(kNotifyDownloadDone);
    EXPECT_EQ(dialog->state, Failed);
    EXPECT_EQ(dialog->doneCount, 0);
    EXPECT_EQ(dialog->totalCount, 0);

    dialog->state = Updating;
    Send(kNotifyDLAuthentLink, 4);
    EXPECT_EQ(dialog->state, Failed);
}

// The number of times `line` stands in the install log (written through, line by line).
size_t LogCount(const std::string& line) {
    std::ifstream in(A(GetInstallSettings().TempDir) + "\\log\\install.log", std::ios::binary);
    std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t n = 0;
    for (size_t at = all.find(line); at != std::string::npos; at = all.find(line, at + 1))
        ++n;
    return n;
}

// Tests that a second announcement of the module list starts no second download: the first one's
// connect (to a port where nobody listens) fails the dialog, the second neither connects nor logs.
TEST_F(DialogTest, ModuleListStartsTheDownloadOnce) {
    InstallSettings& s = GetInstallSettings();
    ASSERT_FALSE(s.TempDir.empty());
    std::strcpy(s.DownloadAddress, "127.0.0.1");
    s.DownloadPort = 1; // refused at once
    dialog->state = Updating;
    Send(kNotifyModuleListDone);
    EXPECT_TRUE(dialog->downloadStarted);
    EXPECT_EQ(dialog->state, Failed); // the failed connect reported itself during the call
    // The loss closed the log; open it afresh to see what a second announcement would do.
    ASSERT_FALSE(InstallLogIsOpen());
    ASSERT_TRUE(OpenInstallLog(s.TempDir + L"\\log\\install.log"));
    Send(kNotifyModuleListDone);
    EXPECT_EQ(LogCount("OnModuleDL\xa3\xba"
                       "Connect"),
              0u);
    EXPECT_EQ(LogCount("SocketSend_ip:"), 0u);
}

} // namespace
