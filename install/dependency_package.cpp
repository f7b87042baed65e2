#include "install/dependency_package.h"

#include "install/install_location.h"
#include "install/tunzip.h"

#include <cstdio>

void ExtractDependPackage(const std::string& installDir) {
    const std::string archive = installDir + "\\server\\depend.zip";
    const std::string target = installDir + "\\server";

    std::FILE* probe = std::fopen(archive.c_str(), "r");
    if (!probe)
        return;
    std::fclose(probe);

    UnzipArchive(archive.c_str(), target.c_str());
    DeleteFolder(archive);
}
