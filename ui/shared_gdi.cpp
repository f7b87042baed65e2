#include "ui/shared_gdi.h"

HBRUSH whiteBrush = nullptr;
HFONT textFont = nullptr;
HFONT buttonFont = nullptr;
HFONT bannerFont = nullptr;

namespace {

HFONT CreateFaceFont(int height) {
    return CreateFontW(height, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_OUTLINE_PRECIS,
                       CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH, L"Microsoft Yahei");
}

void DeleteHandle(HGDIOBJ& object) {
    if (object)
        DeleteObject(object);
    object = nullptr;
}

} // namespace

void CreateSharedGdi() {
    DeleteSharedGdi(); // a second start-up must not leak the first set
    whiteBrush = CreateSolidBrush(RGB(255, 255, 255));
    textFont = CreateFaceFont(20);
    buttonFont = CreateFaceFont(22);
    bannerFont = CreateFaceFont(27);
}

void DeleteSharedGdi() {
    HGDIOBJ objects[] = {whiteBrush, textFont, buttonFont, bannerFont};
    for (auto& object : objects)
        DeleteHandle(object);
    whiteBrush = nullptr;
    textFont = buttonFont = bannerFont = nullptr;
}
