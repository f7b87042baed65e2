#include "tests/publisher/temp_package.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace publisher::testing {
namespace fs = std::filesystem;

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "orvane-publisher-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        std::abort();
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
    // The publisher's default cache folder for a package in this folder lies beside it.
    fs::remove_all(path_.string() + ".cache", ec);
}

void WriteFile(const fs::path& root, const std::string& relative, const std::vector<uint8_t>& bytes) {
    fs::path p = root / relative;
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::string FileText(const fs::path& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

bool WaitForLine(const fs::path& path, const std::string& text, size_t times,
                 std::chrono::milliseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (Count(FileText(path), text) < times) {
        if (std::chrono::steady_clock::now() >= until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<uint8_t> Pattern(size_t n, uint32_t seed) {
    std::vector<uint8_t> out(n);
    uint32_t x = seed * 2654435761u + 1;
    for (auto& b : out) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = uint8_t(x);
    }
    return out;
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

std::vector<uint8_t> Compressible(size_t n, uint32_t seed) {
    // Words from a small vocabulary in a varying order: text-like, so both LZO levels find matches but
    // the thorough one finds more.
    static const char* const kWords[] = {"install ", "module ", "package ", "version ", "download ",
                                         "server ",  "client ", "chunk ",   "folder ",  "file "};
    std::vector<uint8_t> out;
    out.reserve(n);
    std::vector<uint8_t> noise = Pattern(n / 4 + 16, seed);
    for (size_t i = 0; out.size() < n; ++i) {
        const char* w = kWords[noise[i % noise.size()] % 10];
        for (; *w != 0 && out.size() < n; ++w)
            out.push_back(uint8_t(*w));
        if (noise[(i * 7) % noise.size()] < 40 && out.size() < n)
            out.push_back(noise[(i * 3) % noise.size()]);
    }
    return out;
}

void WriteStandardPackage(const fs::path& root) {
    WriteFile(root, "package.json", {});
    std::ofstream(root / "package.json") << R"({
  "package": "000185",
  "version": {"part3": 12, "part4": 3},
  "users": [{"name": "tulip", "password": "tulip"}],
  "modules": [
    {"name": "server", "versionA": 1, "versionB": 2, "state": "U", "folder": "modules/server"},
    {"name": "client", "versionA": 3, "versionB": 4, "folder": "modules/client"},
    {"name": "docs", "versionA": 5, "versionB": 6, "state": "D"}
  ]
})";
    WriteFile(root, "modules/server/deps/depend.zip", Pattern(3 * 1024 * 1024 + 17, 1));
    WriteFile(root, "modules/server/deps/a/b/c/deep.bin", Pattern(1002, 2));
    WriteFile(root, "modules/server/empty.txt", {});
    WriteFile(root, "modules/client/exact.bin", Pattern(1001, 3));
    WriteFile(root, "modules/client/one.bin", Pattern(1, 4));
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> ListTree(const fs::path& root) {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> out;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            out.emplace_back(e.path().lexically_relative(root).string(), ReadFile(e.path()));
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::pair<std::string, std::vector<uint8_t>>> ExpectedDownload(const fs::path& package) {
    auto server = ListTree(package / "modules/server");
    auto client = ListTree(package / "modules/client");
    server.insert(server.end(), client.begin(), client.end());
    server.emplace_back("module.info", std::vector<uint8_t>{}); // the placeholder of the file-less module
    std::sort(server.begin(), server.end());
    return server;
}

} // namespace publisher::testing
