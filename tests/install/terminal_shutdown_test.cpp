// Tests that only a terminal started from exactly the install folder is stopped, and that the pause
// after a stop is taken only then.
#include "install/terminal_shutdown.h"

#include "tests/install/test_support.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

std::vector<uint32_t> sleeps;
void RecordSleep(uint32_t ms) {
    sleeps.push_back(ms);
}

// A stand-in terminal started by the test from a given path; ended by its own handle if still running.
class RunningTerminal {
  public:
    explicit RunningTerminal(const std::string& exePath) {
        std::wstring path(exePath.begin(), exePath.end());
        std::wstring command = L"\"" + path + L"\"";
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info = {};
        if (CreateProcessW(path.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                           &startup, &info)) {
            process_ = info.hProcess;
            CloseHandle(info.hThread);
        }
    }
    ~RunningTerminal() {
        if (process_) {
            if (Running())
                TerminateProcess(process_, 1);
            WaitForSingleObject(process_, 5000);
            CloseHandle(process_);
        }
    }
    RunningTerminal(const RunningTerminal&) = delete;
    RunningTerminal& operator=(const RunningTerminal&) = delete;

    bool Started() const { return process_ != nullptr; }
    bool Running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }
    bool EndsWithin(DWORD ms) const { return WaitForSingleObject(process_, ms) == WAIT_OBJECT_0; }
    DWORD ExitCode() const {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return code;
    }

  private:
    HANDLE process_ = nullptr;
};

class TerminalShutdown : public ::testing::Test {
  protected:
    void SetUp() override {
        sleeps.clear();
        SetShutdownSleepForTesting(RecordSleep);
        installDir = scratch / "Orvane000185v8.5";
        GetInstallSettings().InstallDir = W(installDir);
    }
    void TearDown() override {
        SetShutdownSleepForTesting(nullptr);
        SetShutdownOpenForTesting(nullptr);
    }

    // Copies the stand-in into folder and returns its path there.
    std::string Place(const std::string& folder) {
        CreateDirectoryA(folder.c_str(), nullptr);
        std::string exe = folder + "\\TalvikTradeSafe.exe";
        EXPECT_TRUE(CopyFileA(StandInTerminalPath().c_str(), exe.c_str(), FALSE)) << StandInTerminalPath();
        return exe;
    }

    StateGuard guard;
    ScratchFolder scratch;
    std::string installDir;
};

} // namespace

// Tests that a copy running from the install folder is terminated with exit code 0 and the 2500 ms
// pause follows.
TEST_F(TerminalShutdown, StopsCopyInInstallFolder) {
    RunningTerminal terminal(Place(installDir));
    ASSERT_TRUE(terminal.Started());
    ASSERT_TRUE(WaitForFile(installDir + "\\launch.txt", 10000));

    EXPECT_EQ(StopRunningTerminal(), 0);
    EXPECT_TRUE(terminal.EndsWithin(5000));
    EXPECT_EQ(terminal.ExitCode(), 0u);
    EXPECT_EQ(sleeps, std::vector<uint32_t>{2500});
}

// Tests that copies from another folder, or from a path that differs from the install folder only in
// letter case, are left running and cost no pause.
TEST_F(TerminalShutdown, LeavesOtherPathsRunning) {
    RunningTerminal other(Place(scratch / "Orvane000185v8.4"));
    RunningTerminal sameFolder(Place(installDir));
    ASSERT_TRUE(other.Started() && sameFolder.Started());
    ASSERT_TRUE(WaitForFile(scratch / "Orvane000185v8.4\\launch.txt", 10000));
    ASSERT_TRUE(WaitForFile(installDir + "\\launch.txt", 10000));

    // The install folder named with other letter case: only the exact path counts.
    GetInstallSettings().InstallDir = W(scratch / "ORVANE000185V8.5");
    EXPECT_EQ(StopRunningTerminal(), 0);
    EXPECT_TRUE(other.Running());
    EXPECT_TRUE(sameFolder.Running());
    EXPECT_TRUE(sleeps.empty());
}

// Tests that with no copy running nothing happens and there is no pause.
TEST_F(TerminalShutdown, NoneRunningNoPause) {
    Place(installDir);
    EXPECT_EQ(StopRunningTerminal(), 0);
    EXPECT_TRUE(sleeps.empty());
}

// Tests that of two copies running from the install folder only one is stopped per call.
TEST_F(TerminalShutdown, StopsOnlyOneOfTwo) {
    const std::string exe = Place(installDir);
    RunningTerminal first(exe);
    ASSERT_TRUE(WaitForFile(installDir + "\\launch.txt", 10000));
    DeleteFileA((installDir + "\\launch.txt").c_str());
    RunningTerminal second(exe);
    ASSERT_TRUE(WaitForFile(installDir + "\\launch.txt", 10000));

    StopRunningTerminal(); // returns once the stopped copy has ended
    const int running = int(first.Running()) + int(second.Running());
    EXPECT_EQ(running, 1);
    EXPECT_EQ(sleeps.size(), 1u);
}

namespace {

// The process that a reused id now belongs to: whatever id the snapshot listed, the open lands on it.
DWORD reusedBy = 0;
void* OpenReused(uint32_t) {
    return OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, reusedBy);
}

} // namespace

// Tests that a process id reused between the snapshot and the open cannot be hit: the process opened is
// checked on its own handle, found to be another program, and left running, and so is the terminal the
// snapshot had listed (it was never opened); there is no pause.
TEST_F(TerminalShutdown, ReusedProcessIdIsNotTerminated) {
    RunningTerminal terminal(Place(installDir));
    RunningTerminal other(Place(scratch / "elsewhere"));
    ASSERT_TRUE(terminal.Started() && other.Started());
    ASSERT_TRUE(WaitForFile(installDir + "\\launch.txt", 10000));
    ASSERT_TRUE(WaitForFile(scratch / "elsewhere\\launch.txt", 10000));
    reusedBy = DWORD(std::stoul(ReadWholeFile(scratch / "elsewhere\\launch.txt").value_or("0")));
    ASSERT_NE(reusedBy, 0u);

    SetShutdownOpenForTesting(OpenReused);
    EXPECT_EQ(StopRunningTerminal(), 0);
    SetShutdownOpenForTesting(nullptr);
    EXPECT_TRUE(other.Running());
    EXPECT_TRUE(terminal.Running());
    EXPECT_TRUE(sleeps.empty());

    // The same call without the swap stops the terminal: the seam was the only difference.
    EXPECT_EQ(StopRunningTerminal(), 0);
    EXPECT_TRUE(terminal.EndsWithin(5000));
    EXPECT_TRUE(other.Running());
}
