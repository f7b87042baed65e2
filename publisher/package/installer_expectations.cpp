#include "publisher/package/installer_expectations.h"

#include <algorithm>
#include <cctype>

namespace publisher {
namespace {

// Windows compares file names without regard to the case of A to Z.
bool SameName(std::string_view a, std::string_view b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
    });
}

// A file directly in the download folder, brought by a module installers download.
bool HasTopFile(const Package& package, std::string_view name) {
    for (const PackageModule& m : package.modules) {
        if (m.record.State == 'D')
            continue;
        for (const PackageFile& f : m.files)
            if (f.relDir.empty() && SameName(f.fileName, name))
                return true;
    }
    return false;
}

} // namespace

InstallerFindings CheckInstallerExpectations(const Package& package) {
    InstallerFindings out;
    if (!HasTopFile(package, "TalvikTradeSafe.exe"))
        out.errors.push_back("no module brings TalvikTradeSafe.exe to the top of the download folder (a file "
                             "directly in a module's folder): installs would link to and start nothing");
    if (!HasTopFile(package, "uninstall.exe"))
        out.warnings.push_back("no module brings uninstall.exe to the top of the download folder: the "
                               "uninstall entry of every install would point at nothing");
    for (const PackageModule& m : package.modules) {
        if (m.record.State == 'D')
            continue;
        for (const PackageFile& f : m.files)
            if (SameName(f.fileName, "depend.zip") && !SameName(f.relDir, "server\\"))
                out.warnings.push_back(
                    "module " + m.label + " brings " + f.relDir + f.fileName +
                    ": installers unpack only server\\depend.zip, so this one stays packed");
    }
    return out;
}

} // namespace publisher
