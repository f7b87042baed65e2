// Whole-tree questions the install sequence asks before and after its copy, and the folder renames it
// uses to keep the previous installation. Paths are the system's UTF-16 paths.
#pragma once

#include "core/result.h"
#include "service/download_writer.h"

#include <string>
#include <vector>

namespace install {

bool FolderExists(const std::wstring& path);
// A folder that is a junction or a symbolic link (any reparse point): renaming or deleting it would act
// on what it points at, outside the folder's own place.
bool IsLinkedFolder(const std::wstring& path);
// Renames a folder within its parent; never copies (a copy could run out of space half way). kIo with
// the system's error when it was not renamed.
Status RenameFolder(const std::wstring& from, const std::wstring& to);
// True when some file below root cannot be opened for deletion with no sharing: another program (the
// terminal, a virus scanner, an editor) holds it, and a folder holding it cannot be renamed or removed.
bool TreeInUse(const std::wstring& root);
// True when every file and folder below from is below to under the same relative name, each file with
// the same size.
bool TreeCopiedWhole(const std::wstring& from, const std::wstring& to);
// True when every received file (its code page 936 path below the download folder) is a file below
// root with the size received: a file that vanished from the download folder too is still missed.
bool ReceivedFilesInPlace(const std::wstring& root, const std::vector<ReceivedFile>& received);

} // namespace install
