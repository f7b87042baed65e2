// Deleting a folder tree and saying exactly what could not be deleted.
#pragma once

#include <string>
#include <vector>

namespace sample {

// Deletes every file and folder below folder, then folder itself. Read-only files are made writable
// first. Linked folders (junctions, symbolic links) are unlinked, never entered, so nothing outside the
// tree is touched. Appends each path that could not be deleted to failed; true when nothing failed.
// A folder that does not exist counts as deleted.
bool DeleteTree(const std::wstring& folder, std::vector<std::wstring>& failed);

} // namespace sample
