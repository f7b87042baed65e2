#include "install/dependency_package.h"

#include "core/unique_file.h"
#include "install/install_location.h"
#include "install/tunzip.h"

#include <cstdio>

bool ExtractDependPackage(const std::wstring& installDir) {
    const std::wstring archive = installDir + L"\\server\\depend.zip";
    const std::wstring target = installDir + L"\\server";

    if (!UniqueFile(_wfopen(archive.c_str(), L"rb")))
        return true; // the package brings none

    bool extracted = false;
    {
        TUnzip unzip;
        // An archive without entries has nothing to unpack, which is no failure of the install.
        extracted = unzip.Open(archive) && (unzip.EntryCount() == 0 || unzip.UnzipTo(target));
    }
    // A failed extraction keeps the archive: the caller puts the previous installation back anyway, and
    // nothing that might tell what went wrong is thrown away before then.
    if (extracted)
        DeleteFolder(archive);
    return extracted;
}
