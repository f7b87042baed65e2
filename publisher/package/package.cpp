#include "publisher/package/package.h"

#include <algorithm>

namespace publisher {

size_t Package::FileCount() const {
    size_t files = 0;
    for (const PackageModule& m : modules)
        files += m.files.size();
    return files;
}

const PackageModule* Package::FindModule(std::string_view name) const {
    for (const auto& m : modules)
        if (m.name == name)
            return &m;
    return nullptr;
}

bool Package::CheckUser(std::string_view name, std::string_view password) const {
    return std::any_of(users.begin(), users.end(),
                       [&](const PackageUser& u) { return u.name == name && u.password == password; });
}

} // namespace publisher
