// Tests that the texts the build makes of app/ui_texts.tsv are, byte for byte, the code page 936 texts the
// installer has always drawn, and that they read back as the table's UTF-16.
#include "app/ui_texts.h"
#include "core/code_page.h"
#include "ui_text_utf16.h" // generated from app/ui_texts.tsv

#include <gtest/gtest.h>

#include <iterator>
#include <string>
#include <utility>

namespace {

// Simplified, Traditional, English of the first texts, as they were written by hand before the table (a
// deliberate change to one of them changes its line here); the split literals keep a hex escape from
// swallowing the letter after it.
const char* const kShipped[][3] = {
    {"\xb0\xb2\xd7\xb0",
     "\xb0\xb2\xd1"
     "b",
     "Install"},
    {"\xb7\xfe\xce\xf1\xc6\xf7\xc1\xac\xbd\xd3\xb6\xcf\xbf\xaa",
     "\xb7\xfe\x84\xd5\xc6\xf7\xdf"
     "B\xbd\xd3\x94\xe0\xe9_",
     "Server Link Fail"},
    {"\xd2\xd1\xbe\xad\xca\xc7\xd7\xee\xd0\xc2\xb0\xe6\xb1\xbe",
     "\xd2\xd1\xbd\x9b\xca\xc7\xd7\xee\xd0\xc2\xb0\xe6\xb1\xbe", "The Local is latest version"},
    {"\xb0\xb2\xd7\xb0\xb3\xc9\xb9\xa6",
     "\xb0\xb2\xd1"
     "b\xb3\xc9\xb9\xa6",
     "Install Success"},
    {"Orvane", "Orvane", "Orvane"},
    {"\xb0\xb2\xd7\xb0\xb3\xc9\xb9\xa6",
     "\xb0\xb2\xd1"
     "b\xb3\xc9\xb9\xa6",
     "Install Success"},
    {"\xb0\xb2\xd7\xb0\xca\xa7\xb0\xdc",
     "\xb0\xb2\xd1"
     "b\xca\xa7\x94\xa1",
     "Install Fail"},
    {"\xb4\xf2\xbf\xaa", "\xb4\xf2\xe9_", "Open"},
    {"\xb4\xed\xce\xf3\xc2\xeb:",
     "\xe5"
     "e\xd5`\xb4"
     "a:",
     "Error Code:"},
    {"\xd5\xfd\xd4\xda\xb8\xfc\xd0\xc2\xce\xc4\xbc\xfe...",
     "\xd5\xfd\xd4\xda\xb8\xfc\xd0\xc2\xce\xc4\xbc\xfe...", "Updating file..."},
    {"\xb8\xfc\xd0\xc2\xd6\xd0\xa3\xac\xc7\xeb\xc9\xd4\xba\xf3...",
     "\xb8\xfc\xd0\xc2\xd6\xd0\xa3\xac\xd5\x88\xc9\xd4\xe1\xe1...", "Updating, please wait..."},
    {"\xc1\xac\xbd\xd3\xd6\xd0\xb6\xcf\xa3\xac%d \xc3\xeb\xba\xf3\xd6\xd8\xca\xd4...",
     "\xdf"
     "B\xbe\x80\xd6\xd0\x94\xe0\xa3\xac%d \xc3\xeb\xe1\xe1\xd6\xd8\xd4\x87...",
     "Connection lost, retrying in %d s..."},
};

// Tests each text in each language: the shipped bytes where there is a reference, and the program's own
// reading of the bytes gives the table's text.
TEST(UiTexts, GeneratedBytesAreTheShippedOnes) {
    static_assert(std::size(kShipped) <= kUiTextCount);
    for (int index = 0; index < kUiTextCount; ++index) {
        const UiTextUtf16& row = kUiTextsUtf16[index];
        const std::pair<uint32_t, const wchar_t*> columns[] = {
            {2052, row.simplified}, {1028, row.traditional}, {1033, row.english}};
        for (int column = 0; column < 3; ++column) {
            SCOPED_TRACE(std::to_string(index) + " in " + std::to_string(columns[column].first));
            const char* text = UiText(index, columns[column].first);
            if (index < int(std::size(kShipped))) {
                EXPECT_STREQ(text, kShipped[index][column]);
            }
            EXPECT_EQ(code_page::WideFromGbk(text, kUiTextUnits, code_page::Overflow::Cut),
                      columns[column].second);
        }
    }
}

} // namespace
