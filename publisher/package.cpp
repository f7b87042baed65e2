#include "publisher/package.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fstream>
#include <limits>
#include <set>

namespace publisher {
namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// Thrown only inside LoadPackage, which turns it into the refusal message.
struct ManifestError {
    std::string field;
    std::string problem;
};

[[noreturn]] void Fail(std::string field, std::string problem) {
    throw ManifestError{std::move(field), std::move(problem)};
}

std::string Quoted(std::string_view s) {
    return "\"" + std::string(s) + "\"";
}

void CheckKeys(const json& object, const std::string& where, std::initializer_list<const char*> allowed) {
    if (!object.is_object())
        Fail(where, "must be an object");
    for (const auto& item : object.items()) {
        bool known =
            std::any_of(allowed.begin(), allowed.end(), [&](const char* k) { return item.key() == k; });
        if (!known)
            Fail(where.empty() ? item.key() : where + "." + item.key(), "unknown field");
    }
}

const json& Required(const json& object, const char* key, const std::string& field) {
    auto it = object.find(key);
    if (it == object.end())
        Fail(field, "missing");
    return *it;
}

std::string Text(const json& value, const std::string& field, size_t minBytes, size_t maxBytes) {
    if (!value.is_string())
        Fail(field, "must be a string");
    const std::string& s = value.get_ref<const std::string&>();
    if (s.find('\0') != std::string::npos)
        Fail(field, "must not contain a NUL character");
    if (s.size() < minBytes)
        Fail(field, "must not be empty");
    if (s.size() > maxBytes)
        Fail(field, Quoted(s) + " is " + std::to_string(s.size()) + " bytes; at most " +
                        std::to_string(maxBytes) + " fit the record");
    return s;
}

uint32_t Number(const json& value, const std::string& field) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > std::numeric_limits<uint32_t>::max())
        Fail(field, "must be a whole number from 0 to 4294967295");
    return value.get<uint32_t>();
}

// Walks `folder` in a stable order and appends its files with the relative folder they arrive in.
void ScanFolder(const fs::path& folder, const std::string& relDir, const std::string& field,
                PackageModule& module) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec)
        Fail(field, "cannot read folder " + folder.string() + ": " + ec.message());
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename().string() < b.path().filename().string();
    });

    for (const auto& entry : entries) {
        const fs::path& path = entry.path();
        std::string name = path.filename().string();
        // A backslash would split into folders on the installer side.
        if (name.find('\\') != std::string::npos)
            Fail(field, path.string() + ": a name with a backslash cannot be sent");
        fs::file_status status = entry.symlink_status(ec);
        if (ec)
            Fail(field, path.string() + ": " + ec.message());
        if (fs::is_symlink(status))
            Fail(field, path.string() + ": symbolic links are not published; copy the file into the package");
        if (fs::is_directory(status)) {
            ScanFolder(path, relDir + name + "\\", field, module);
            continue;
        }
        // A fifo or device would block or never end the stream.
        if (!fs::is_regular_file(status))
            Fail(field, path.string() + ": not a regular file");
        if (name.size() > kMaxFileName)
            Fail(field, path.string() + ": FileName " + Quoted(name) + " is " + std::to_string(name.size()) +
                            " bytes; at most " + std::to_string(kMaxFileName) + " fit the record");
        if (relDir.size() > kMaxRelDir)
            Fail(field, path.string() + ": RelDir " + Quoted(relDir) + " is " +
                            std::to_string(relDir.size()) + " bytes; at most " + std::to_string(kMaxRelDir) +
                            " fit the record");
        PackageFile file;
        file.relDir = relDir;
        file.fileName = name;
        file.source = path;
        file.size = entry.file_size(ec);
        if (ec)
            Fail(field, path.string() + ": " + ec.message());
        module.bytes += file.size;
        module.files.push_back(std::move(file));
    }
}

// The module's source folder, which must lie inside the package folder.
fs::path ModuleFolder(const fs::path& root, const std::string& folder, const std::string& field) {
    fs::path relative(folder);
    if (relative.is_absolute())
        Fail(field, Quoted(folder) + " must be relative to the package folder");
    std::error_code ec;
    fs::path resolved = fs::canonical(root / relative, ec);
    if (ec)
        Fail(field, Quoted(folder) + ": " + ec.message());
    if (!fs::is_directory(resolved, ec))
        Fail(field, Quoted(folder) + " is not a folder");
    fs::path inside = resolved.lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..")
        Fail(field, Quoted(folder) + " lies outside the package folder");
    return resolved;
}

PackageModule ReadModule(const json& item, const std::string& field, const Package& package) {
    CheckKeys(item, field, {"name", "versionA", "versionB", "state", "folder"});
    PackageModule module;
    module.name = Text(Required(item, "name", field + ".name"), field + ".name", 1, kMaxModuleName);
    uint32_t verA = Number(Required(item, "versionA", field + ".versionA"), field + ".versionA");
    uint32_t verB = Number(Required(item, "versionB", field + ".versionB"), field + ".versionB");
    char state = 'U';
    if (auto it = item.find("state"); it != item.end()) {
        std::string s = Text(*it, field + ".state", 1, 1);
        state = s[0];
    }
    if (auto it = item.find("folder"); it != item.end()) {
        std::string folder = Text(*it, field + ".folder", 1, 4096);
        ScanFolder(ModuleFolder(package.root, folder, field + ".folder"), "", field + ".folder", module);
    }

    ModuleRecord& r = module.record;
    std::copy(package.packageNo.begin(), package.packageNo.end(), r.PackageNo);
    std::copy(module.name.begin(), module.name.end(), r.ModuleName);
    r.ModuleVerA = verA;
    r.ModuleVerB = verB;
    r.State = state;
    return module;
}

} // namespace

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

PackageLoad LoadPackage(const fs::path& folder) {
    PackageLoad result;
    std::error_code ec;
    fs::path root = fs::canonical(folder, ec);
    if (ec || !fs::is_directory(root, ec)) {
        result.error = folder.string() + ": not a package folder";
        return result;
    }
    fs::path manifestPath = root / "package.json";
    std::ifstream in(manifestPath, std::ios::binary);
    if (!in) {
        result.error = manifestPath.string() + ": cannot be read";
        return result;
    }
    try {
        json manifest = json::parse(in);
        CheckKeys(manifest, "", {"package", "version", "users", "modules"});
        Package package;
        package.root = root;
        package.packageNo = Text(Required(manifest, "package", "package"), "package", 1, kMaxPackageNo);

        const json& version = Required(manifest, "version", "version");
        CheckKeys(version, "version", {"part3", "part4"});
        package.verPart3 = Number(Required(version, "part3", "version.part3"), "version.part3");
        package.verPart4 = Number(Required(version, "part4", "version.part4"), "version.part4");

        const json& users = Required(manifest, "users", "users");
        if (!users.is_array() || users.empty())
            Fail("users", "must be a list of at least one user");
        for (size_t i = 0; i < users.size(); ++i) {
            std::string field = "users[" + std::to_string(i) + "]";
            CheckKeys(users[i], field, {"name", "password"});
            PackageUser user;
            user.name = Text(Required(users[i], "name", field + ".name"), field + ".name", 1, kMaxUserName);
            user.password = Text(Required(users[i], "password", field + ".password"), field + ".password", 0,
                                 kMaxPassword);
            package.users.push_back(std::move(user));
        }

        const json& modules = Required(manifest, "modules", "modules");
        if (!modules.is_array())
            Fail("modules", "must be a list");
        std::set<std::string> names;
        for (size_t i = 0; i < modules.size(); ++i) {
            std::string field = "modules[" + std::to_string(i) + "]";
            PackageModule module = ReadModule(modules[i], field, package);
            if (!names.insert(module.name).second)
                Fail(field + ".name", Quoted(module.name) + " is listed twice");
            package.bytes += module.bytes;
            package.modules.push_back(std::move(module));
        }
        result.package = std::move(package);
    } catch (const ManifestError& e) {
        result.error = manifestPath.string() + ": " + e.field + ": " + e.problem;
    } catch (const json::exception& e) {
        result.error = manifestPath.string() + ": " + e.what();
    }
    return result;
}

} // namespace publisher
