// Tests of the install log's line format, its thread safety and its open/close behaviour.
#include "core/wide_path.h"
#include "core/install_log.h"
#include "core/unique_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

namespace {

std::string ReadAll(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

class InstallLogTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("orvane-log-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        path = (dir / "install.log").string();
    }
    void TearDown() override {
        CloseInstallLog();
        MirrorInstallLog(L""); // closed, so that the folder can go (Windows keeps open files)
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path dir;
    std::string path;
};

// Tests that the prefix pads every field: 09:05:03 and 7 ms read "[09:05:03 007]" and two tabs.
TEST(InstallLogPrefix, PadsEveryField) {
    EXPECT_EQ(FormatLogPrefix(9, 5, 3, 7), "[09:05:03 007]\t\t");
    EXPECT_EQ(FormatLogPrefix(23, 59, 59, 999), "[23:59:59 999]\t\t");
}

// Tests that a line is prefix, the text byte for byte (full-width colon included) and CR LF.
TEST_F(InstallLogTest, LineBytes) {
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(path)));
    WriteLog("OnButtonClick\xa3\xba"
             "Connect Success");
    WriteLog("");
    WriteLog("two\nlines");
    WriteLog(static_cast<const char*>(nullptr));
    CloseInstallLog();
    std::string content = ReadAll(path);
    std::regex line(R"(\[\d\d:\d\d:\d\d \d\d\d\]\t\t)");
    std::vector<std::string> expected = {"OnButtonClick\xa3\xba"
                                         "Connect Success\r\n",
                                         "\r\n", "two\nlines\r\n"};
    size_t pos = 0;
    for (const auto& text : expected) {
        std::smatch m;
        std::string rest = content.substr(pos);
        ASSERT_TRUE(std::regex_search(rest, m, line, std::regex_constants::match_continuous)) << rest;
        EXPECT_EQ(rest.substr(m.length(), text.size()), text);
        pos += m.length() + text.size();
    }
    EXPECT_EQ(pos, content.size());
}

// Tests that an event line is the tag, the full-width colon in code page 936 and the event, with nothing
// between, and that an empty tag or event keeps the colon.
TEST_F(InstallLogTest, EventLineBytes) {
    EXPECT_EQ(LogEventText("ProcessDL", "OnLogin Faile"), "ProcessDL\xa3\xba"
                                                          "OnLogin Faile");
    EXPECT_EQ(LogEventText("", ""), "\xa3\xba");
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(path)));
    LogEvent("OnModuleDL", "Connect");
    CloseInstallLog();
    const std::string content = ReadAll(path);
    ASSERT_GE(content.size(), 16u);
    EXPECT_EQ(content.substr(16), "OnModuleDL\xa3\xba"
                                  "Connect\r\n");
}

// Tests that writes after the close are dropped and that reopening starts the file empty.
TEST_F(InstallLogTest, ClosedLogDropsLinesAndReopenTruncates) {
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(path)));
    WriteLog("first run");
    CloseInstallLog();
    EXPECT_FALSE(InstallLogIsOpen());
    WriteLog("dropped");
    EXPECT_EQ(ReadAll(path).find("dropped"), std::string::npos);
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(path)));
    WriteLog("second run");
    CloseInstallLog();
    std::string content = ReadAll(path);
    EXPECT_EQ(content.find("first run"), std::string::npos);
    EXPECT_NE(content.find("second run"), std::string::npos);
}

// Tests that the copy a deployment tool reads gets every line, also those written while the log itself
// is closed (between the download and the install), and that a copy that cannot be made says so.
TEST_F(InstallLogTest, MirrorTakesEveryLine) {
    const std::string copy = (dir / "copy.log").string();
    ASSERT_TRUE(MirrorInstallLog(WidePathFromBytes(copy)));
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(path)));
    WriteLog("both");
    CloseInstallLog();
    WriteLog("copy only");
    EXPECT_FALSE(MirrorInstallLog(WidePathFromBytes((dir / "missing" / "copy.log").string())));
    WriteLog("nowhere");
    const std::string mirrored = ReadAll(copy);
    EXPECT_NE(mirrored.find("both\r\n"), std::string::npos);
    EXPECT_NE(mirrored.find("copy only\r\n"), std::string::npos);
    EXPECT_EQ(mirrored.find("nowhere"), std::string::npos);
    EXPECT_EQ(ReadAll(path).find("copy only"), std::string::npos);

    // A second program given the same path appends: the first's lines all stay, none overwritten.
    ASSERT_TRUE(MirrorInstallLog(WidePathFromBytes(copy), LogMode::Append));
    UniqueFile second(std::fopen(copy.c_str(), "ab"));
    WriteLog("first again");
    std::fputs("second\r\n", second.Get());
    second.Close();
    WriteLog("first last");
    const std::string shared = ReadAll(copy);
    for (const char* line : {"both\r\n", "copy only\r\n", "second\r\n", "first again\r\n", "first last\r\n"})
        EXPECT_NE(shared.find(line), std::string::npos) << line;
}

// Tests that a log that cannot be opened stays closed and writing does nothing.
TEST_F(InstallLogTest, UnopenableLogStaysClosed) {
    EXPECT_FALSE(OpenInstallLog(WidePathFromBytes((dir / "missing" / "install.log").string())));
    EXPECT_FALSE(InstallLogIsOpen());
    WriteLog("nothing");
}

// Tests that lines from several threads never interleave inside a line, and that a close racing the
// writers leaves only whole lines.
TEST_F(InstallLogTest, ThreadsNeverInterleave) {
    ASSERT_TRUE(OpenInstallLog(WidePathFromBytes(path)));
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            std::string text(200, char('a' + t));
            for (int i = 0; i < 300; ++i)
                WriteLog(text);
        });
    std::thread closer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        CloseInstallLog();
    });
    for (auto& w : writers)
        w.join();
    closer.join();
    std::string content = ReadAll(path);
    std::regex line(R"(\[\d\d:\d\d:\d\d \d\d\d\]\t\t([a-d])\1{199}\r\n)");
    auto begin = std::sregex_iterator(content.begin(), content.end(), line);
    size_t covered = 0;
    for (auto it = begin; it != std::sregex_iterator(); ++it) {
        ASSERT_EQ(size_t(it->position()), covered) << "garbage before a line";
        covered += it->length();
    }
    EXPECT_EQ(covered, content.size());
}

} // namespace
