// OrvaneSetup.exe: the entry point only; everything else lives in the libraries the tests link too.
#include "app/process_entry.h"

#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    return RunInstaller();
}
