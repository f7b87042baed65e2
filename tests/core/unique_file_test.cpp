// Tests that the stream owner closes its file exactly once, wherever ownership moves.
#include "core/unique_file.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace {

std::string ScratchPath() {
    const auto* test = ::testing::UnitTest::GetInstance()->current_test_info();
    return (std::filesystem::temp_directory_path() /
            ("orvane-unique-file-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
             test->name()))
        .string();
}

// Tests that a moved stream stays open in its new owner and is closed once, with the close reported.
TEST(UniqueFile, MovesAndClosesOnce) {
    const std::string path = ScratchPath();
    UniqueFile first(std::fopen(path.c_str(), "wb"));
    ASSERT_TRUE(first);
    UniqueFile second = std::move(first);
    EXPECT_FALSE(first);
    ASSERT_TRUE(second);
    EXPECT_GE(std::fputs("line", second.Get()), 0);
    EXPECT_TRUE(second.Close());
    EXPECT_FALSE(second);
    EXPECT_FALSE(second.Close()); // nothing left to close
    EXPECT_EQ(std::filesystem::file_size(path), 4u);

    // Assigning over an open stream closes it first: its bytes are in the file at once.
    UniqueFile target(std::fopen(path.c_str(), "ab"));
    ASSERT_TRUE(target);
    EXPECT_GE(std::fputs("more", target.Get()), 0);
    target = UniqueFile(std::fopen((path + ".other").c_str(), "wb"));
    EXPECT_EQ(std::filesystem::file_size(path), 8u);
    EXPECT_TRUE(target.Close());
    std::filesystem::remove(path);
    std::filesystem::remove(path + ".other");
}

// Tests that a stream that failed to open is empty and that closing it reports nothing was open.
TEST(UniqueFile, FailedOpenIsEmpty) {
    UniqueFile missing(std::fopen((ScratchPath() + "/no-such-folder/file").c_str(), "rb"));
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.Get(), nullptr);
    EXPECT_FALSE(missing.Close());
}

} // namespace
