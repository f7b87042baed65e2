// The user-interface texts in three languages, stored as code page 936 bytes and converted to UTF-16
// only where they are drawn.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum UiTextId : int {
    kTextInstall = 0,
    kTextServerLinkFail = 1,
    kTextLatestVersion = 2,
    kTextInstallSuccess = 3,
    kTextProductName = 4,
    kTextInstallSuccessAgain = 5,
    kTextInstallFail = 6,
    kTextOpen = 7,
    kTextErrorCode = 8,
    kTextUpdatingFile = 9,
    kTextUpdatingWait = 10,
    kUiTextCount = 11,
};

// The text of an entry for a UI language id: 1033 English, 1028 Traditional Chinese, any other id
// Simplified Chinese. An index out of range gives an empty text.
const char* UiText(int index, uint32_t uiLanguage);
// The same for the installer's own UI language (InstallSettings::UiLanguage).
const char* UiText(int index);

// The user's default UI language as the installer stores it: Hong Kong's 3076 reads as 1028.
uint32_t NormaliseUiLanguage(uint32_t languageId);
// String resource of the product display name for a stored UI language: 105, 104 or 103.
int ProductNameResource(uint32_t uiLanguage);

// Code page 936 text to UTF-16, keeping at most maxUnits - 1 units (the last one was the terminator).
std::wstring Cp936ToWide(std::string_view text, size_t maxUnits = 1024);
