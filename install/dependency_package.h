#pragma once

#include <string>

// Unpacks <installDir>\server\depend.zip into <installDir>\server, then deletes the archive.
void ExtractDependPackage(const std::string& installDir);
