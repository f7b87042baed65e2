#include "tests/ui/snapshot.h"

#include "core/unique_file.h"
#include "ui/gdi_handles.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#ifndef ORVANE_TEST_OUTPUT_DEFAULT
#define ORVANE_TEST_OUTPUT_DEFAULT "test-output"
#endif

namespace {

// A Unix path as Wine sees it: the root is drive Z.
std::string WindowsPath(std::string path) {
    if (!path.empty() && path[0] == '/')
        path = "Z:" + path;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

} // namespace

COLORREF Snapshot::At(int x, int y) const {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return CLR_INVALID;
    uint32_t p = pixels[size_t(y) * size_t(width) + size_t(x)];
    return RGB((p >> 16) & 0xFF, (p >> 8) & 0xFF, p & 0xFF);
}

Snapshot PrintClient(HWND window) {
    Snapshot shot;
    RECT client{};
    GetClientRect(window, &client);
    shot.width = client.right - client.left;
    shot.height = client.bottom - client.top;
    if (shot.width <= 0 || shot.height <= 0)
        return shot;

    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = shot.width;
    info.bmiHeader.biHeight = -shot.height; // top-down
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC screen = GetDC(nullptr);
    {
        MemoryDC dc(screen);
        GdiObject<HBITMAP> dib(CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        SelectGuard select(dc, dib);
        SendMessageW(window, WM_PRINTCLIENT, reinterpret_cast<WPARAM>(dc.get()), PRF_CLIENT);
        GdiFlush();
        const auto* source = static_cast<const uint32_t*>(bits);
        shot.pixels.assign(source, source + size_t(shot.width) * size_t(shot.height));
        for (auto& p : shot.pixels)
            p &= 0xFFFFFF;
    }
    ReleaseDC(nullptr, screen);
    return shot;
}

bool Snapshot::SaveBmp(const std::string& path) const {
    UniqueFile f(std::fopen(path.c_str(), "wb"));
    if (!f)
        return false;
    const uint32_t stride = (uint32_t(width) * 3 + 3) & ~3u;
    BITMAPFILEHEADER file{};
    BITMAPINFOHEADER info{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof file + sizeof info;
    file.bfSize = file.bfOffBits + stride * uint32_t(height);
    info.biSize = sizeof info;
    info.biWidth = width;
    info.biHeight = height; // bottom-up
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biSizeImage = stride * uint32_t(height);
    std::fwrite(&file, sizeof file, 1, f.Get());
    std::fwrite(&info, sizeof info, 1, f.Get());
    std::vector<uint8_t> row(stride, 0);
    for (int y = height - 1; y >= 0; --y) {
        for (int x = 0; x < width; ++x) {
            uint32_t p = pixels[size_t(y) * size_t(width) + size_t(x)];
            row[size_t(x) * 3] = uint8_t(p);
            row[size_t(x) * 3 + 1] = uint8_t(p >> 8);
            row[size_t(x) * 3 + 2] = uint8_t(p >> 16);
        }
        std::fwrite(row.data(), 1, row.size(), f.Get());
    }
    return f.Close();
}

std::string ColourText(COLORREF colour) {
    if (colour == CLR_INVALID)
        return "outside";
    char text[32];
    std::snprintf(text, sizeof text, "%d,%d,%d", GetRValue(colour), GetGValue(colour), GetBValue(colour));
    return text;
}

std::string TestOutputFolder() {
    const char* configured = std::getenv("ORVANE_TEST_OUTPUT");
    std::string folder = WindowsPath(configured && *configured ? configured : ORVANE_TEST_OUTPUT_DEFAULT);
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    return folder;
}

void PumpMessages() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

size_t CountGdiObjects() {
    if (DWORD counted = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS))
        return counted;
    // A handle whose upper word is 0 names a table slot whatever its generation; GetObjectType is 0 for a
    // free slot.
    size_t live = 0;
    for (uintptr_t slot = 1; slot <= 0xFFFF; ++slot)
        if (GetObjectType(reinterpret_cast<HGDIOBJ>(slot)) != 0)
            ++live;
    return live;
}
