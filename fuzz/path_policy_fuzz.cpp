// Names from a download or an archive through the shared path rule: no crash, the split is lossless,
// and whatever is accepted names something below the folder: no climbing, empty or device component,
// no colon of its own.
#include "service/path_policy.h"

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

void Require(bool condition) {
    if (!condition)
        std::abort();
}

void CheckAccepted(std::string_view path, path_policy::RelativePathRules rules) {
    if (path_policy::RefuseRelativePath(path, rules))
        return;
    Require(!path.empty() && path.front() != '\\');
    for (size_t i = 0; i < path.size(); i += path_policy::CharWidth936(path, i))
        Require(path_policy::CharWidth936(path, i) == 2 || (path[i] != ':' && path[i] != '/'));
    auto parts = path_policy::SplitComponents(path);
    if (rules.allowTrailingSeparator && parts.size() > 1 && parts.back().empty())
        parts.pop_back();
    bool named = false;
    for (std::string_view part : parts) {
        if (rules.allowCurrentFolder && part == ".")
            continue;
        named = true;
        Require(part.find_first_not_of(". ") != std::string_view::npos);
        Require(!path_policy::IsDeviceName(part));
    }
    Require(named);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view path(reinterpret_cast<const char*>(data), size);

    // Splitting and joining again gives the same bytes; the last separator is the last split point.
    std::string joined;
    const auto parts = path_policy::SplitComponents(path);
    for (size_t i = 0; i < parts.size(); ++i)
        joined.append(i ? "\\" : "").append(parts[i]);
    Require(joined == path);
    const size_t last = path_policy::LastSeparator(path);
    Require((last == std::string_view::npos) == (parts.size() == 1));
    Require(last == std::string_view::npos || last == path.size() - parts.back().size() - 1);
    Require(path_policy::ToBackslashes(path).size() == path.size());

    CheckAccepted(path, {});
    path_policy::RelativePathRules archive;
    archive.allowCurrentFolder = true;
    archive.allowTrailingSeparator = true;
    CheckAccepted(path, archive);
    CheckAccepted(path_policy::ToBackslashes(path), archive);
    return 0;
}
