// What the steps of an installation learn and hand on to each other. Written by one thread and read by
// another only after the posted message that announces the write.
#pragma once

#include <cstdint>
#include <string>

struct InstallSettings {
    std::string PackageNo;   // string resource 102
    std::string ProductName; // display name in the UI language (code page 936)
    // The folders as the system names them (UTF-16): a profile name need not fit any 8-bit code page.
    std::wstring InstallDir;
    std::wstring TempDir; // InstallDir + L"temp": a sibling folder
    uint32_t CurVerPart3 = 0;
    uint32_t CurVerPart4 = 0;
    uint32_t UiLanguage = 0;
    uint32_t NewVerPart3 = 0;
    uint32_t NewVerPart4 = 0;
    char DownloadAddress[51] = {};
    uint32_t DownloadPort = 0;
};

InstallSettings& GetInstallSettings();

// UI language ids that select a text set; any other id selects Simplified Chinese.
constexpr uint32_t kLangEnglish = 1033;
constexpr uint32_t kLangTraditional = 1028;
constexpr uint32_t kLangHongKong = 3076;
