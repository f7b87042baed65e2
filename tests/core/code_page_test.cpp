// Tests that the one code page 936 converter maps the program's texts, either refuses or cuts a text too
// long for its buffer, and replaces or refuses what is not code page 936, as the caller asks.
#include "core/code_page.h"

#include <gtest/gtest.h>

namespace {

using code_page::Conversion;
using code_page::Overflow;
using code_page::WideFromGbk;

constexpr char kColonText[] = "Tag\xa3\xba"
                              "Event"; // full-width colon between two words

// Tests that A3 BA becomes U+FF1A and that a text exactly filling its buffer is kept whole either way.
TEST(CodePage, MapsAndKeepsWhatFits) {
    const std::wstring expected = L"Tag\uFF1AEvent";
    EXPECT_EQ(WideFromGbk(kColonText, 10), expected);
    EXPECT_EQ(WideFromGbk(kColonText, 10, Overflow::Cut), expected);
    EXPECT_EQ(WideFromGbk(kColonText, 1024, Overflow::Cut), expected);
}

// Tests that one unit too many refuses the whole text (a path) or cuts it to the buffer (a shown text).
TEST(CodePage, RefusesOrCutsWhatDoesNotFit) {
    EXPECT_EQ(WideFromGbk(kColonText, 9), L"");
    EXPECT_EQ(WideFromGbk(kColonText, 9, Overflow::Cut), L"Tag\uFF1AEven");
    EXPECT_EQ(WideFromGbk(kColonText, 5, Overflow::Cut), L"Tag\uFF1A");
    EXPECT_EQ(WideFromGbk(kColonText, 2, Overflow::Cut), L"T");
    // No room beside the terminator, or nothing to convert: empty in both modes.
    for (Overflow overflow : {Overflow::Refuse, Overflow::Cut}) {
        EXPECT_EQ(WideFromGbk(kColonText, 1, overflow), L"");
        EXPECT_EQ(WideFromGbk(kColonText, 0, overflow), L"");
        EXPECT_EQ(WideFromGbk("", 100, overflow), L"");
    }
}

// Tests that a byte no code page 936 text holds, or a lead byte left without its trail, is replaced in a
// shown text and refuses a path (which would otherwise name another file), while valid text converts
// alike either way, with no length limit when the caller sets none.
TEST(CodePage, StrictRefusesWhatLenientReplaces) {
    for (const char* bad : {"a\xff", "a\x81"}) {
        EXPECT_FALSE(WideFromGbk(bad, 100).empty()) << bad;
        EXPECT_EQ(WideFromGbk(bad, 100, Overflow::Refuse, Conversion::Strict), L"") << bad;
    }
    // D5 5C is one character although its trail byte is a backslash.
    EXPECT_EQ(WideFromGbk("a\xd5\x5c\\b", code_page::kAnyLength, Overflow::Refuse, Conversion::Strict),
              L"a\u8aa0\\b");
    const std::string longText(40000, 'x');
    EXPECT_EQ(WideFromGbk(longText, code_page::kAnyLength, Overflow::Refuse, Conversion::Strict).size(),
              40000u);
}

// Tests that a path goes into a log line whole: what code page 936 holds as its bytes (陳 EA 90, ü A8 B9),
// what it lacks (Korean) as '?' one per character, never cut short or dropped.
TEST(CodePage, GbkFromWideReplacesWhatThePageLacks) {
    EXPECT_EQ(code_page::GbkFromWide(L"C:\\users\\\u9673"), "C:\\users\\\xea\x90");
    EXPECT_EQ(code_page::GbkFromWide(L"J\u00fcrgen"), "J\xa8\xb9rgen");
    EXPECT_EQ(code_page::GbkFromWide(L"C:\\\uae40\ubbfc\uc900\\x"), "C:\\???\\x");
    EXPECT_EQ(code_page::GbkFromWide(L""), "");
}

} // namespace
