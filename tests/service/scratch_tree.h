// A scratch root for download tests and fuzzing, with the download folder so deep inside it that no
// local path the download client accepts (at most 254 characters) can climb out of the root: every
// escape lands somewhere EntriesOutside sees. Plain C++ (no test framework), for the fuzzer too.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace scratch {

// Deep enough for the 254-character limit whatever the root: the folder is then at least 130 characters
// long, which leaves 123 for the names below it, room for at most 42 steps up ("..\" each, or a last
// ".."), fewer than the 61 levels between it and the root.
constexpr int kDepth = 60;

// root/d/d/.../d/v8.5temp, the folders made; a sibling "<install>temp" of root/d/.../d/v8.5.
inline std::string DeepTempDir(const std::string& root) {
    std::string dir = root;
    for (int i = 0; i < kDepth; ++i)
        dir += "/d";
    std::filesystem::create_directories(dir + "/v8.5temp");
    return dir + "/v8.5temp";
}

// Everything below root that is neither inside temp nor one of the folders leading to it, nor named in
// allowed (paths relative to root).
inline std::vector<std::string> EntriesOutside(const std::string& root, const std::string& temp,
                                               const std::vector<std::string>& allowed = {}) {
    std::vector<std::string> out;
    const std::string inside = temp + "/";
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(root, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        const std::string p = it->path().string();
        if (p == temp || p.rfind(inside, 0) == 0 || inside.rfind(p + "/", 0) == 0)
            continue;
        bool listed = false;
        for (const std::string& a : allowed)
            listed = listed || p == root + "/" + a;
        if (!listed)
            out.push_back(p);
    }
    return out;
}

} // namespace scratch
