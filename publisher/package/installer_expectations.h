// What an installer needs of a package beyond what the wire carries: the terminal at the top of its
// download folder (the link, the uninstall entry and "Open" all point there), the uninstaller there too,
// and the dependency archive at the one place the installer unpacks it from. A package that misses
// them loads and serves, and every install of it is broken; --check-config says so before a deployer
// publishes it.
#pragma once

#include "publisher/package/package.h"

#include <string>
#include <vector>

namespace publisher {

struct InstallerFindings {
    std::vector<std::string> errors;   // installs of this package cannot work
    std::vector<std::string> warnings; // installs work, with a part missing
};

// Only the modules installers download (state other than 'D') count.
InstallerFindings CheckInstallerExpectations(const Package& package);

} // namespace publisher
