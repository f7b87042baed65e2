// Tests that the one code page 936 converter maps the program's texts and either refuses or cuts a text
// too long for its buffer, as the caller asks.
#include "install/code_page.h"

#include <gtest/gtest.h>

namespace {

using install::Overflow;
using install::WideFromGbk;

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

} // namespace
