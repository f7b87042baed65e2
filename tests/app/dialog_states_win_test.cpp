// Tests that the main dialog's notification table moves it between its states as the install sequence
// needs, and that its texts follow the UI language.
#include "tests/ui/dialog_fixture.h"

#include "app/init_process.h"
#include "app/ui_texts.h"
#include "core/install_log.h"
#include "core/module_list.h"
#include "service/download_attempts.h"
#include "service/notify_win.h"

#include <gtest/gtest.h>

namespace {

// Tests that a notification of no attempt under way, or of another attempt, changes nothing, and that
// a lost check connection of the attempt under way is a wait for the next, not a failure.
TEST_F(DialogTest, LostConnectionWaitsAndStrayNotificationsDoNothing) {
    Send(kNotifyCheckLost);
    EXPECT_EQ(dialog->state, Ready);
    PressInstall();
    ASSERT_EQ(dialog->state, Updating);
    ASSERT_EQ(dialog->attempts->phase(), DownloadAttempts::Phase::kChecking);
    Send(kNotifyLoginRefused, 0, 2);
    Send(kNotifyLoginRefused, 0, 0);
    EXPECT_EQ(dialog->state, Updating);
    EXPECT_TRUE(dialog->statusText.empty());

    Notify(kNotifyCheckLost);
    EXPECT_EQ(dialog->state, Updating);
    EXPECT_TRUE(dialog->Waiting());
    EXPECT_TRUE(dialog->statusText.empty());
    EXPECT_EQ(dialog->waitText.rfind(WaitingPrefix(1033), 0), 0u) << dialog->waitText;
    EXPECT_TRUE(InstallLogIsOpen());
}

// Tests the texts of the service's final answers in each language: nothing on offer with the error
// code; a refused login, a refused check link and a refused download link with entry 6 alone.
TEST_F(DialogTest, FinalAnswersShowTheirTextsInEachLanguage) {
    struct Case {
        uint32_t language;
        UINT message;
        LPARAM code;
        bool download;        // the answer comes on the download connection
        const wchar_t* shown; // the error code as shown after the text, if it is
    };
    const Case cases[] = {
        {1033, kNotifyNothingOffered, 5, false, L"5"},
        {1033, kNotifyNothingOffered, LPARAM(uint32_t(-7)), false, L"-7"},
        {2052, kNotifyNothingOffered, 5, false, L"5"},
        {1028, kNotifyNothingOffered, 5, false, L"5"},
        {1033, kNotifyCheckAuthRefused, 0, false, nullptr},
        {1033, kNotifyLoginRefused, 0, false, nullptr},
        {1033, kNotifyDLAuthentLink, 3, true, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.message));
        Open(c.language);
        PressInstall();
        if (c.download)
            AnnounceModules();
        Notify(c.message, c.code);
        EXPECT_EQ(dialog->state, Failed);
        std::wstring text = TableText(kTextInstallFail, c.language);
        if (c.shown)
            text += L"," + TableText(kTextErrorCode, c.language) + c.shown;
        EXPECT_EQ(dialog->statusText, text);
        EXPECT_EQ(dialog->totalCount, 0);
        EXPECT_EQ(dialog->attempts->attempt(), 1);
    }
}

// Tests that the download's admission sets the total from the module list.
TEST_F(DialogTest, DownloadAdmissionSetsTotal) {
    PressInstall();
    AnnounceModules();
    const size_t listed = GetModuleList().size() + 2;
    GetModuleList().resize(listed);
    Notify(kNotifyDLAuthentLink, 0);
    EXPECT_EQ(dialog->totalCount, int32_t(listed));
    EXPECT_EQ(dialog->progressBar->maximum, int32_t(listed));
    EXPECT_EQ(dialog->state, Updating);
    EXPECT_FALSE(dialog->Waiting());
}

// Tests that the window is titled Orvane, the log is open below the temporary folder, and a close
// through the window ends the dialog.
TEST_F(DialogTest, CreateTitlesWindowOpensLogAndCloseEnds) {
    wchar_t title[32] = {};
    GetWindowTextW(dialog->hwnd, title, 32);
    EXPECT_STREQ(title, L"Orvane");
    EXPECT_EQ(notifyWindow, dialog->hwnd);
    const std::string temp = A(GetInstallSettings().TempDir);
    if (!temp.empty()) {
        EXPECT_TRUE(InstallLogIsOpen());
        EXPECT_NE(GetFileAttributesA((temp + "\\log\\install.log").c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(temp, A(GetInstallSettings().InstallDir) + "temp");
    }
    Send(WM_CLOSE);
    EXPECT_FALSE(dialog->running);
    EXPECT_EQ(dialog->hwnd, nullptr);
    EXPECT_EQ(notifyWindow, nullptr);
}

// Tests that destroying the dialog in Failed removes the temporary folder with its log, and in any other
// state leaves it.
TEST_F(DialogTest, DestructionRemovesTempDirOnlyAfterFailure) {
    const std::string temp = A(GetInstallSettings().TempDir);
    ASSERT_FALSE(temp.empty());
    ASSERT_NE(GetFileAttributesA(temp.c_str()), INVALID_FILE_ATTRIBUTES);
    dialog.reset();
    EXPECT_NE(GetFileAttributesA(temp.c_str()), INVALID_FILE_ATTRIBUTES) << "Ready keeps it";
    EXPECT_FALSE(InstallLogIsOpen());

    Open(1033);
    PressInstall();
    Notify(kNotifyLoginRefused);
    dialog.reset();
    EXPECT_EQ(GetFileAttributesA(temp.c_str()), INVALID_FILE_ATTRIBUTES);
}

// Tests that the end of the download runs the install sequence to Done, closes the log and hides the bar,
// and that the button then closes the dialog.
TEST_F(DialogTest, DownloadCompleteEndsInDoneAndOpenCloses) {
    // The package brings its config folder, where the configuration files go.
    CreateDirectoryA((A(GetInstallSettings().TempDir) + "\\config").c_str(), nullptr);
    dialog->state = Updating;
    PlaceBar();
    CompleteDownload();
    EXPECT_EQ(dialog->state, Done);
    EXPECT_FALSE(InstallLogIsOpen());
    EXPECT_FALSE(IsWindowVisible(dialog->progressBar->hwnd));

    MoveTo(kOnButton);
    Send(WM_LBUTTONDOWN, MAKELPARAM(kOnButton.x, kOnButton.y), MK_LBUTTON);
    EXPECT_FALSE(dialog->running);
    EXPECT_EQ(dialog->hwnd, nullptr);
}

// Tests that 3076 reads as 1028 and picks the Traditional texts and name, and 2057 the Simplified ones.
TEST(UiLanguage, HongKongIsTraditionalOthersSimplified) {
    EXPECT_EQ(NormaliseUiLanguage(3076), 1028u);
    EXPECT_EQ(NormaliseUiLanguage(2057), 2057u);
    EXPECT_EQ(ProductNameResource(NormaliseUiLanguage(3076)), 104);
    EXPECT_EQ(ProductNameResource(NormaliseUiLanguage(2057)), 103);
    EXPECT_EQ(ProductNameResource(1033), 105);
    EXPECT_STREQ(UiText(kTextInstall, NormaliseUiLanguage(3076)), UiText(kTextInstall, 1028));
    EXPECT_STREQ(UiText(kTextInstall, 2057), UiText(kTextInstall, 2052));
    EXPECT_STRNE(UiText(kTextInstall, 1028), UiText(kTextInstall, 2052));
    EXPECT_STREQ(UiText(kUiTextCount, 1033), "");
}

// Tests that start-up reads the package number and a display name from the executable's string table.
TEST(InitProcess, LoadsPackageAndName) {
    InitProcess();
    EXPECT_EQ(GetInstallSettings().PackageNo, "000185");
    EXPECT_EQ(GetInstallSettings().ProductName, "Orvane");
    EXPECT_NE(textFont, nullptr);
    EXPECT_EQ(LoadResourceText(104), "Orvane");
    ReleaseProcess();
    EXPECT_EQ(textFont, nullptr);
}

} // namespace
