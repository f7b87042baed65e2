#pragma once

#include <string>

// Unpacks <installDir>\server\depend.zip into <installDir>\server, then deletes the archive. True when
// there is no archive, or every entry was unpacked (an entry the user chose to skip counts); false when
// the archive cannot be read or an entry failed, Abort included.
bool ExtractDependPackage(const std::wstring& installDir);
