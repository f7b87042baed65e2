// The user-interface texts in three languages, stored as code page 936 bytes and converted to UTF-16
// only where they are drawn.
//
// To add a dialog text: add its row, in readable UTF-8, to app/ui_texts.tsv (name, Simplified Chinese,
// Traditional Chinese, English) and its name to UiTextId below at the same index, before kUiTextCount.
// The build runs scripts/gen_dialog.py on the table (target orvane_dialog_sources), which makes the
// program's code page 936 bytes (ui_text_bytes.inc, included by ui_texts.cpp) and the UTF-16 texts the
// tests compare with (ui_text_utf16.h); a row out of step with the enum fails the compile. A change to one
// of the first twelve texts changes its reference bytes in tests/app/ui_texts_win_test.cpp as well. The
// dialog's rectangles and colours come the same way from app/dialog_shapes.json (dialog_shapes.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

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
    kTextRetrying = 11, // "%d": the seconds until the next attempt
    kUiTextCount = 12,
};

// The text of an entry for a UI language id: 1033 English, 1028 Traditional Chinese, any other id
// Simplified Chinese. An index out of range gives an empty text.
const char* UiText(int index, uint32_t uiLanguage);
// The same for the installer's own UI language (InstallSettings::UiLanguage).
const char* UiText(int index);
// The waiting line of the installer's UI language with its seconds filled in.
std::string RetryingText(int seconds);

// The user's default UI language as the installer stores it: Hong Kong's 3076 reads as 1028.
uint32_t NormaliseUiLanguage(uint32_t languageId);
// String resource of the product display name for a stored UI language: 105, 104 or 103.
int ProductNameResource(uint32_t uiLanguage);

// Units of a UI text drawn from a 1024-unit buffer, the terminator included.
constexpr size_t kUiTextUnits = 1024;
