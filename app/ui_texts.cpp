#include "app/ui_texts.h"

#include "core/install_settings.h"

namespace {

struct TextSet {
    const char* simplified;
    const char* traditional;
    const char* english;
};

// Generated from app/ui_texts.tsv: kTexts, in code page 936 bytes.
#include "ui_text_bytes.inc"

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
