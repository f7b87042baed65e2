#pragma once

#include "service/local_fs.h"

// Creates every missing folder of path: its folder (and the folders above it that can be made) and then
// the folders named by the backslash-terminated prefixes of its relative part; the text after the last
// backslash is not created. On a failure shows the folder and returns false at once.
bool CreatePathFolders(const LocalPath& path);
