#include "install/dependency_package.h"

#include "app/unique_file.h"
#include "install/install_location.h"
#include "install/tunzip.h"

#include <cstdio>

bool ExtractDependPackage(const std::string& installDir) {
    const std::string archive = installDir + "\\server\\depend.zip";
    const std::string target = installDir + "\\server";

    if (!UniqueFile(std::fopen(archive.c_str(), "r")))
        return true; // the package brings none

    bool extracted = false;
    {
        TUnzip unzip;
        // An archive without entries has nothing to unpack, which is no failure of the install.
        extracted = unzip.Open(archive.c_str()) && (unzip.EntryCount() == 0 || unzip.UnzipTo(target.c_str()));
    }
    // A failed extraction keeps the archive: the caller puts the previous installation back anyway, and
    // nothing that might tell what went wrong is thrown away before then.
    if (extracted)
        DeleteFolder(archive);
    return extracted;
}
