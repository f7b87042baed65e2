// Drawing objects shared by every window of the installer: created once at start-up, released at exit.
#pragma once

#include <windows.h>

extern HBRUSH whiteBrush; // progress bar track
extern HFONT textFont;    // caption title, status, percentage and label texts (height 20)
extern HFONT buttonFont;  // action button caption (height 22)
extern HFONT bannerFont;  // the large white line while updating (height 27)

void CreateSharedGdi();
void DeleteSharedGdi();
