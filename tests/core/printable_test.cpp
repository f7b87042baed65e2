// Tests of the log's view of untrusted text.
#include "core/printable.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// Tests that line breaks, other control bytes and DEL become '?' and that printable ASCII passes.
TEST(Printable, ControlBytesBecomeQuestionMarks) {
    EXPECT_EQ(Printable("a\r\nb\tc\x7f"
                        "d"),
              "a??b?c?d");
    EXPECT_EQ(Printable(std::string("x\0y", 3)), "x?y");
    EXPECT_EQ(Printable(" ~"), " ~");
    EXPECT_EQ(Printable(""), "");
}

// Tests that code page 936 bytes stay by default and become '?' under HighBytes::Replace.
TEST(Printable, HighBytesKeptOrReplaced) {
    const std::string gbk = "\xd6\xd0\xce\xc4.txt";
    EXPECT_EQ(Printable(gbk), gbk);
    EXPECT_EQ(Printable(gbk, HighBytes::Replace), "????.txt");
    EXPECT_EQ(Printable("\x80\xff", HighBytes::Replace), "??");
}

// Tests that only the first maxBytes bytes are kept, and that a shorter text is kept whole.
TEST(Printable, LimitCutsLongText) {
    const std::string longText(100, 'n');
    EXPECT_EQ(Printable(longText, HighBytes::Replace, 64), std::string(64, 'n'));
    EXPECT_EQ(Printable("short", HighBytes::Replace, 64), "short");
    EXPECT_EQ(Printable("ab\ncd", HighBytes::Keep, 3), "ab?");
}

} // namespace
