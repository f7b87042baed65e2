// Tests of the download writer by itself, without a peer: where chunks land, how a file is continued or
// started again, which names are refused before anything is made, and that a write the disk does not
// take is reported instead of passing for a finished file.
#include "service/download_writer.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// How a writer's step ended, as the tests compare it: "ok", or the first words of the failure's message.
std::string Outcome(const Status& status) {
    if (status)
        return "ok";
    const std::string& message = status.error().message();
    return message.substr(0, message.find(' ', message.find(' ') + 1));
}

struct WriterTest : ::testing::Test {
    void SetUp() override {
        root = fs::temp_directory_path() /
               ("orvane-writer-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "temp");
        folder = (root / "temp").wstring();
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(root, ec);
    }
    std::string Read(const std::string& rel) const {
        std::ifstream in(root / "temp" / rel, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Places and appends one chunk, as the download client does.
    std::string Put(const char* rel, const char* name, const std::string& text) {
        messages::FileChunk c{"core", name, rel, {}, false};
        if (Status placed = writer.Place(folder, c); !placed)
            return Outcome(placed);
        return Outcome(writer.Append(writer.Path(),
                                     std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size())));
    }

    fs::path root;
    std::wstring folder;
    DownloadWriter writer;
};

// Tests that chunks of one file are appended in order, that a new name closes the file before and makes
// the folders of its path, that a name coming back starts its file again from empty, and that the list
// of received files holds each name once, with the size of what its file holds now.
TEST_F(WriterTest, AppendsSwitchesAndStartsAgain) {
    ASSERT_EQ(Put("bin\\x64\\", "a.dll", "one "), "ok");
    ASSERT_EQ(Put("bin\\x64\\", "a.dll", "two"), "ok");
    EXPECT_EQ(writer.PathText(), (root / "temp").string() + "\\bin\\x64\\a.dll");
    ASSERT_EQ(Put("", "b.txt", "bee"), "ok");
    EXPECT_EQ(Read("bin/x64/a.dll"), "one two"); // closed, so complete on disk
    ASSERT_TRUE(writer.Flush());
    EXPECT_EQ(Read("b.txt"), "bee");
    ASSERT_EQ(Put("bin\\x64\\", "a.dll", "again"), "ok");
    ASSERT_TRUE(writer.Close());
    EXPECT_FALSE(writer.FileOpen());
    EXPECT_EQ(Read("bin/x64/a.dll"), "again");
    // An empty chunk still makes its (empty) file.
    ASSERT_EQ(Put("", "empty.txt", ""), "ok");
    ASSERT_TRUE(writer.Close());
    EXPECT_TRUE(fs::exists(root / "temp" / "empty.txt"));
    const std::vector<ReceivedFile> received{{"bin\\x64\\a.dll", 5}, {"b.txt", 3}, {"empty.txt", 0}};
    EXPECT_EQ(writer.ReceivedFiles(), received);
}

// Tests that a code page 936 character whose second byte is 0x5C (誠 is D5 5C) stays whole in folder and
// file names: the writer makes one folder of that name, not a folder cut at the trail byte. Windows
// names it by the character itself; POSIX keeps the code page 936 bytes.
TEST_F(WriterTest, TrailByteBackslashIsNoSeparator) {
    ASSERT_EQ(Put("\xd5\x5c\\", "\xd5\x5c.txt", "sincere"), "ok");
    ASSERT_TRUE(writer.Close());
#ifdef _WIN32
    const fs::path cheng(L"\u8aa0");
#else
    const fs::path cheng("\xd5\x5c");
#endif
    std::vector<fs::path> top;
    for (const auto& e : fs::directory_iterator(root / "temp"))
        top.push_back(e.path().filename());
    ASSERT_EQ(top.size(), 1u);
    EXPECT_EQ(top[0], cheng);
    fs::path file = cheng;
    file += ".txt";
    std::ifstream in(root / "temp" / cheng / file, std::ios::binary);
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), "sincere");
}

// Tests that refused names and a path over 254 characters make no file and no folder at all.
TEST_F(WriterTest, RefusedPathsMakeNothing) {
    messages::FileChunk climbing{"core", "x", "sub\\..\\..\\", {}, false};
    const Status refused = writer.Place(folder, climbing);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.error().message(), "Unsafe path (empty or dot-only component) sub\\..\\..\\x");
    EXPECT_EQ(Put("a/", "b", "x"), "Unsafe path");
    std::string deep;
    while (folder.size() + 1 + deep.size() + 10 <= DownloadWriter::kMaxLocalPath)
        deep += "folder\\";
    EXPECT_EQ(Put(deep.c_str(), "file.bin12", "x"), "Path too");
    EXPECT_TRUE(fs::is_empty(root / "temp"));
    EXPECT_EQ(fs::directory_iterator(root)->path(), root / "temp"); // nothing beside it either
}

// Tests that a file that cannot be opened (a folder of that name is in the way) is a write failure.
TEST_F(WriterTest, UnopenableFileFails) {
    fs::create_directories(root / "temp" / "taken");
    EXPECT_EQ(Put("", "taken", "x"), "cannot write");
    EXPECT_FALSE(writer.FileOpen());
}

#ifndef _WIN32
// Tests that bytes a full disk does not take are reported: the buffered write passes, but the flush
// that makes a module count as done, and the close, fail.
TEST_F(WriterTest, FullDiskIsReported) {
    ASSERT_TRUE(fs::exists("/dev/full"));
    messages::FileChunk c{"core", "full", "", {}, false};
    ASSERT_EQ(Outcome(writer.Place(L"/dev", c)), "ok");
    const std::vector<uint8_t> data(1000, 7);
    ASSERT_EQ(Outcome(writer.Append(writer.Path(), data)), "ok");
    EXPECT_FALSE(writer.Flush());
    ASSERT_EQ(Outcome(writer.Append(writer.Path(), data)), "ok");
    EXPECT_FALSE(writer.Close());
    // A switch to another file closes this one, and reports its lost tail as a failed write.
    ASSERT_EQ(Outcome(writer.Append(writer.Path(), data)), "ok");
    ASSERT_EQ(Put("", "next.bin", "n"), "cannot write");
}
#endif

} // namespace
