#pragma once

#include <string>

// Creates every missing folder named by the backslash-terminated prefixes of path; the text after the
// last backslash is not created. On a failure shows the folder and returns false at once.
bool CreatePathFolders(const std::string& path);
