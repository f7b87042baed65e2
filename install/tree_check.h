// Whole-tree questions the install sequence asks before and after its copy, and the folder renames it
// uses to keep the previous installation. Paths are code page 936; the system sees UTF-16.
#pragma once

#include <string>

namespace install {

bool FolderExists(const std::string& path);
// Renames a folder within its parent; never copies (a copy could run out of space half way).
bool RenameFolder(const std::string& from, const std::string& to);
// True when some file below root cannot be opened for deletion with no sharing: another program (the
// terminal, a virus scanner, an editor) holds it, and a folder holding it cannot be renamed or removed.
bool TreeInUse(const std::string& root);
// True when every file and folder below from is below to under the same relative name, each file with
// the same size.
bool TreeCopiedWhole(const std::string& from, const std::string& to);

} // namespace install
