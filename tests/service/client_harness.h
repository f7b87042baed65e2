// What the service-client tests share: a scratch TempDir with its install log, the shared state reset,
// and a notification queue pumped by the test thread that plays the main dialog (on "module list
// complete" it connects the download client; on an accepted download link it calls DownloadModule).
#pragma once

#include "manual_clock.h"
#include "core/wide_path.h"
#include "core/install_log.h"
#include "core/install_settings.h"
#include "core/module_list.h"
#include "service/notify.h"
#include "service/notify_queue.h"
#include "service/path_folders.h"
#include "service/process_check.h"
#include "service/process_dl.h"
#include "scratch_tree.h"
#include "test_module.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <fstream>
#include <cctype>
#include <set>
#include <sstream>
#include <thread>
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

// The download folder as a native path (the settings keep the system's wide form).
inline std::string TempDirText() {
    return BytesFromWidePath(GetInstallSettings().TempDir);
}

class ClientHarness {
  public:
    using Note = std::pair<uint32_t, intptr_t>;

    ClientHarness() {
        char pattern[] = "/tmp/orvane-client-harness-XXXXXX";
        root_ = ::mkdtemp(pattern);
        // TempDir is a sibling of the install folder, as on Windows: "<install>temp". It lies so deep
        // below root_ that a path climbing out of it still lands below root_, where the tests look.
        InstallSettings& s = GetInstallSettings();
        s.TempDir = WidePathFromBytes(scratch::DeepTempDir(root_));
        s.InstallDir = s.TempDir.substr(0, s.TempDir.size() - 4);
        s.PackageNo = "000185";
        s.CurVerPart3 = s.CurVerPart4 = s.NewVerPart3 = s.NewVerPart4 = 0;
        std::memset(s.DownloadAddress, 0, sizeof s.DownloadAddress);
        s.DownloadPort = 0;
        GetModuleList().clear();
        std::filesystem::create_directories(TempDirText() + "/log");
        logPath_ = TempDirText() + "/log/install.log";
        OpenInstallLog(WidePathFromBytes(logPath_));
        // A sentinel beside TempDir: hostile paths must never reach it.
        std::ofstream(root_ + "/outside.txt") << "untouched";
    }

    ~ClientHarness() {
        check.Stop();
        dl.Stop();
        queue_.PumpPending();
        CloseInstallLog();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // Pumps as the interface thread until a message ends the run (or the safety limit passes).
    bool RunUntil(uint32_t message) {
        return queue_.PumpUntil([&] { return Seen(message); }, std::chrono::seconds(20));
    }
    bool RunUntilAny(std::set<uint32_t> messages) {
        return queue_.PumpUntil(
            [&] {
                for (const auto& n : notes)
                    if (messages.count(n.first))
                        return true;
                return false;
            },
            std::chrono::seconds(20));
    }
    // Pumps until `done` holds, for a state that no message announces: checked on this thread every
    // millisecond (the limit is only a safety net).
    bool PumpUntilState(const std::function<bool()>& done) {
        for (int i = 0; i < 20000; ++i) {
            queue_.PumpPending();
            if (done())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // Moves `clock` on once the `sleepers` watchdogs on it sleep, and returns when they have taken the
    // step in: fired (and reported), or asleep again. A loss is sent, not posted: a watchdog's thread
    // waits for the interface to take it, so this pumps meanwhile.
    void StepClock(ManualClock& clock, std::chrono::milliseconds step, size_t sleepers = 1) {
        ASSERT_TRUE(PumpUntilState([&] { return clock.Sleepers() >= sleepers; }));
        clock.Advance(step);
        ASSERT_TRUE(PumpUntilState([&] { return clock.Sleepers() >= sleepers; }));
    }
    bool Seen(uint32_t message) const {
        for (const auto& n : notes)
            if (n.first == message)
                return true;
        return false;
    }
    std::vector<uint32_t> Messages() const {
        std::vector<uint32_t> out;
        for (const auto& n : notes)
            out.push_back(n.first);
        return out;
    }
    void PumpPending() { queue_.PumpPending(); }
    // Pumps for a while whatever arrives: for checking that nothing more comes.
    void PumpFor(std::chrono::milliseconds span) {
        queue_.PumpUntil([] { return false; }, span);
    }

    // Clients log after they notify, so a line may land just after its message: keep pumping until
    // the line is there (the limit is only a safety net).
    bool WaitForLog(const std::string& line) {
        for (int i = 0; i < 10000; ++i) {
            queue_.PumpPending();
            auto lines = LogLines();
            if (std::find(lines.begin(), lines.end(), line) != lines.end())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    // Pumps until the log holds `line` at least `times` times (the limit is only a safety net).
    bool WaitForLogCount(const std::string& line, size_t times) {
        for (int i = 0; i < 10000; ++i) {
            queue_.PumpPending();
            auto lines = LogLines();
            if (size_t(std::count(lines.begin(), lines.end(), line)) >= times)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return false;
    }
    // Continues the install log at another path, as when the interface deletes TempDir with its log.
    void MoveLog(const std::string& path) {
        CloseInstallLog();
        logPath_ = path;
        OpenInstallLog(WidePathFromBytes(logPath_));
    }
    size_t Count(uint32_t message) const {
        return size_t(
            std::count_if(notes.begin(), notes.end(), [&](const Note& n) { return n.first == message; }));
    }

    // The log's lines without their time prefix, each checked for the exact prefix and line end.
    std::vector<std::string> LogLines() const {
        std::ifstream in(logPath_, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        size_t start = 0;
        while (start < all.size()) {
            size_t end = all.find("\r\n", start);
            if (end == std::string::npos)
                break; // a line still being written by another thread
            std::string line = all.substr(start, end - start);
            EXPECT_TRUE(HasTimePrefix(line)) << line;
            lines.push_back(HasTimePrefix(line) ? line.substr(kPrefixSize) : line);
            start = end + 2;
        }
        return lines;
    }

    // "[hh:mm:ss mmm]" and two tabs.
    static constexpr size_t kPrefixSize = 16;
    static bool HasTimePrefix(const std::string& line) {
        const char* shape = "[00:00:00 000]\t\t";
        if (line.size() < kPrefixSize)
            return false;
        for (size_t i = 0; i < kPrefixSize; ++i)
            if (shape[i] == '0' ? !std::isdigit(uint8_t(line[i])) : line[i] != shape[i])
                return false;
        return true;
    }

    // Everything below the scratch root other than TempDir's, the folders above it and the sentinel:
    // where a hostile path would land.
    std::vector<std::string> FilesOutsideTempDir() const {
        std::vector<std::string> out = scratch::EntriesOutside(root_, TempDirText(), {"outside.txt"});
        std::ifstream sentinel(root_ + "/outside.txt");
        std::string text;
        sentinel >> text;
        if (text != "untouched")
            out.push_back("outside.txt changed");
        return out;
    }

    std::string ReadTempFile(const std::string& rel) const {
        std::ifstream in(TempDirText() + "/" + rel, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }

    const std::string& root() const { return root_; }

    ProcessCheck check;
    ProcessDL dl;
    std::vector<Note> notes;
    bool connectDownload = true; // play OnModuleDL and OnDLAuthentLink as the dialog does
    // Called on the pump thread after each message is recorded (and played), as a dialog's handler.
    std::function<void(uint32_t message, intptr_t lParam)> react;
    // When set, each message (with its wParam, the attempt) goes here instead of being played.
    std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)> route;

  private:
    void Handle(uint32_t message, uintptr_t wParam, intptr_t lParam) {
        notes.emplace_back(message, lParam);
        if (route) {
            route(message, wParam, lParam);
            return;
        }
        if (connectDownload && message == kNotifyModuleListDone) {
            const InstallSettings& s = GetInstallSettings();
            dl.SetServer(s.DownloadAddress, s.DownloadPort & 0xFFFF);
            dl.Connect();
        } else if (connectDownload && message == kNotifyDLAuthentLink && lParam == 0) {
            dl.DownloadModule();
        }
        if (react)
            react(message, lParam);
    }

    std::string root_;
    std::string logPath_;
    // Declared last so it goes first: a client thread still sending is released, not left waiting.
    NotifyQueue queue_{
        NotifyQueue::FullHandler([this](uint32_t m, uintptr_t w, intptr_t l) { Handle(m, w, l); })};
};

// The full-width colon of the log lines (code page 936).
#define FW "\xa3\xba"
