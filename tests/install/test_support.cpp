#include "tests/install/test_support.h"

#include <windows.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

std::wstring W(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

std::string A(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

ScratchFolder::ScratchFolder() {
    static std::atomic<int> counter{0};
    char temp[MAX_PATH] = {};
    GetTempPathA(MAX_PATH, temp);
    path_ = std::string(temp) + "orvane-install-test-" + std::to_string(GetCurrentProcessId()) + "-" +
            std::to_string(counter++);
    fs::remove_all(path_);
    fs::create_directories(path_);
}

ScratchFolder::~ScratchFolder() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

StateGuard::StateGuard() : settings_(GetInstallSettings()), modules_(GetModuleList()) {}

StateGuard::~StateGuard() {
    GetInstallSettings() = settings_;
    GetModuleList() = modules_;
}

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
    std::error_code ec;
    fs::create_directories(fs::path(path).parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return bool(out);
}

bool IsFile(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

bool IsFolder(const std::string& path) {
    DWORD a = GetFileAttributesA(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

bool PathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::set<std::string> ListTree(const std::string& root) {
    std::set<std::string> names;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string relative = fs::relative(it->path(), root).string();
        for (char& c : relative)
            if (c == '/')
                c = '\\';
        names.insert(it->is_directory() ? relative + "\\" : relative);
    }
    return names;
}

std::string StandInTerminalPath() {
    char self[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self);
    path.resize(path.find_last_of('\\') + 1);
    return path + "TalvikTradeSafe.exe";
}

bool WaitForFile(const std::string& path, unsigned timeoutMs) {
    for (unsigned waited = 0; waited <= timeoutMs; waited += 50) {
        if (IsFile(path))
            return true;
        Sleep(50);
    }
    return false;
}
