// A stand-in for the trading terminal that the sample package installs. It shows how it was started
// (command line and current folder) and records both beside itself, so an end-to-end run can check the
// launch. It stays open until its window is closed.
#include "examples/terminal/launch_record.h"

#include <windows.h>

#include <string>
#include <vector>

namespace {

constexpr wchar_t kWindowClass[] = L"OrvaneSampleTerminal";
constexpr wchar_t kWindowTitle[] = L"TalvikTradeSafe";

std::wstring shownText;

std::wstring CurrentFolder() {
    std::vector<wchar_t> buffer(32768);
    DWORD length = GetCurrentDirectoryW(static_cast<DWORD>(buffer.size()), buffer.data());
    return length > 0 && length < buffer.size() ? std::wstring(buffer.data(), length) : std::wstring();
}

std::wstring ModulePath() {
    std::vector<wchar_t> buffer(32768);
    DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    return length > 0 && length < buffer.size() ? std::wstring(buffer.data(), length) : std::wstring();
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_PAINT: {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(window, &paint);
        RECT client;
        GetClientRect(window, &client);
        InflateRect(&client, -12, -12);
        DrawTextW(dc, shownText.c_str(), static_cast<int>(shownText.size()), &client,
                  DT_LEFT | DT_TOP | DT_NOPREFIX | DT_WORDBREAK);
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    const std::wstring commandLine = GetCommandLineW();
    const std::wstring folder = CurrentFolder();
    shownText = L"Command line: " + commandLine + L"\r\nCurrent folder: " + folder;

    // The record is written before the window exists: a failed window still leaves the evidence.
    const std::wstring exeFolder = sample::ParentFolder(ModulePath());
    if (!exeFolder.empty())
        sample::WriteLaunchRecord(exeFolder, sample::FormatLaunchRecord(commandLine, folder));

    WNDCLASSW windowClass = {};
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512)); // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassW(&windowClass))
        return 1;
    HWND window = CreateWindowExW(0, kWindowClass, kWindowTitle, WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 640, 220, nullptr, nullptr, instance, nullptr);
    if (!window)
        return 1;
    ShowWindow(window, showCommand);
    UpdateWindow(window);

    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return static_cast<int>(message.wParam);
}
