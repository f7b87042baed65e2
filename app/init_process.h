// Start-up and shut-down of the installer process. Interface thread only.
#pragma once

#include <string>

// Shared fonts and brush, package number and display name from the string table, UI language, sockets.
void InitProcess();
// Releases what InitProcess took (drawing objects, socket library).
void ReleaseProcess();
// A string resource of the executable as 8-bit text, at most 259 bytes.
std::string LoadResourceText(int id);
