#include "app/ui_texts.h"

#include "core/install_settings.h"

namespace {

struct TextSet {
    const char* simplified;
    const char* traditional;
    const char* english;
};

// Code page 936 bytes; the split literals keep a hex escape from swallowing the letter after it.
const TextSet kTexts[kUiTextCount] = {
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

} // namespace

const char* UiText(int index, uint32_t uiLanguage) {
    if (index < 0 || index >= kUiTextCount)
        return "";
    const TextSet& set = kTexts[index];
    if (uiLanguage == kLangEnglish)
        return set.english;
    if (uiLanguage == kLangTraditional)
        return set.traditional;
    return set.simplified;
}

const char* UiText(int index) {
    return UiText(index, GetInstallSettings().UiLanguage);
}

std::string RetryingText(int seconds) {
    std::string text = UiText(kTextRetrying);
    const size_t at = text.find("%d");
    if (at != std::string::npos)
        text.replace(at, 2, std::to_string(seconds));
    return text;
}

uint32_t NormaliseUiLanguage(uint32_t languageId) {
    return languageId == kLangHongKong ? kLangTraditional : languageId;
}

int ProductNameResource(uint32_t uiLanguage) {
    if (uiLanguage == kLangTraditional)
        return 104;
    if (uiLanguage == kLangEnglish)
        return 105;
    return 103;
}
