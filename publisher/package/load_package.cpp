#include "publisher/package/load_package.h"

#include "publisher/package/package_folder.h"
#include "publisher/package/signed_package.h"
#include "publisher/package/wire_names.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <fcntl.h>
#include <fstream>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

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

// A refusal is printed and logged: a password is named by its field, never shown.
std::string Shown(const std::string& field, std::string_view s) {
    constexpr std::string_view secret = ".password";
    if (field.size() >= secret.size() &&
        field.compare(field.size() - secret.size(), secret.size(), secret) == 0)
        return "the password";
    return Quoted(s);
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
        Fail(field, Shown(field, s) + " is " + std::to_string(s.size()) + " bytes; at most " +
                        std::to_string(maxBytes) + " fit the record");
    return s;
}

// A text as installers receive it: converted to code page 936, its width checked on the converted bytes.
std::string WireText(const json& value, const std::string& field, size_t minBytes, size_t maxBytes) {
    std::string utf8 = Text(value, field, minBytes, 4096);
    std::optional<std::string> wire = ToCodePage936(utf8);
    if (!wire)
        Fail(field, Shown(field, utf8) + " is no UTF-8 text that code page 936 can hold");
    if (wire->size() > maxBytes)
        Fail(field, Shown(field, utf8) + " is " + std::to_string(wire->size()) +
                        " bytes in code page 936; at most " + std::to_string(maxBytes) + " fit the record");
    return *wire;
}

// The code page 936 form of one file or folder name below a module folder.
std::string WireName(const fs::path& path, const std::string& field) {
    std::string name = path.filename().string();
    if (const char* problem = WindowsNameProblem(name))
        Fail(field, path.string() + ": Windows cannot create this name: it has " + problem);
    std::optional<std::string> wire = ToCodePage936(name);
    if (!wire)
        Fail(field, path.string() + ": the name is no UTF-8 text that code page 936 can hold");
    return *wire;
}

// Identifies the manifest, so that no module can serve it under another name.
struct FileId {
    uint64_t device = 0;
    uint64_t inode = 0;
};

struct ScanContext {
    std::shared_ptr<const PackageFolder> folder;
    FileId manifest;
    std::set<std::string> seen; // the module's arriving paths in lower case: Windows ignores case
};

// Lower case of the single-byte letters of a code page 936 text: the second byte of a two-byte
// character is no letter, so 丄 (81 41) and 乤 (81 61) stay two names.
std::string AsciiLower(std::string s) {
    for (size_t i = 0; i < s.size(); ++i) {
        if (uint8_t(s[i]) >= 0x81)
            ++i;
        else if (s[i] >= 'A' && s[i] <= 'Z')
            s[i] = char(s[i] - 'A' + 'a');
    }
    return s;
}

uint32_t Number(const json& value, const std::string& field) {
    if (!value.is_number_unsigned() || value.get<uint64_t>() > std::numeric_limits<uint32_t>::max())
        Fail(field, "must be a whole number from 0 to 4294967295");
    return value.get<uint32_t>();
}

// Walks `folder` in a stable order and appends its files with the relative folder they arrive in.
// `below` is the folder's path relative to the package folder, with '/' between its parts.
void ScanFolder(const fs::path& folder, const std::string& below, const std::string& relDir,
                const std::string& field, PackageModule& module, ScanContext& context) {
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
        const std::string name = WireName(path, field);
        fs::file_status status = entry.symlink_status(ec);
        if (ec)
            Fail(field, path.string() + ": " + ec.message());
        if (fs::is_symlink(status))
            Fail(field, path.string() + ": symbolic links are not published; copy the file into the package");
        if (fs::is_directory(status)) {
            ScanFolder(path, below + "/" + path.filename().string(), relDir + name + "\\", field, module,
                       context);
            continue;
        }
        // A fifo or device would block or never end the stream.
        if (!fs::is_regular_file(status))
            Fail(field, path.string() + ": not a regular file");
        if (name.size() > kMaxFileName)
            Fail(field, path.string() + ": FileName is " + std::to_string(name.size()) +
                            " bytes in code page 936; at most " + std::to_string(kMaxFileName) +
                            " fit the record");
        if (relDir.size() > kMaxRelDir)
            Fail(field, path.string() + ": RelDir is " + std::to_string(relDir.size()) +
                            " bytes in code page 936; at most " + std::to_string(kMaxRelDir) +
                            " fit the record");
        // The file as it will be served: reached below the held folder, its identity recorded.
        const std::string relative = below + "/" + path.filename().string();
        struct stat st {};
        const bool regular = [&] {
            const UniqueFd fd = context.folder->OpenBelow(relative, O_PATH);
            return fd && ::fstat(fd.get(), &st) == 0 && S_ISREG(st.st_mode);
        }();
        if (!regular)
            Fail(field, path.string() + ": cannot be read");
        if (uint64_t(st.st_dev) == context.manifest.device && uint64_t(st.st_ino) == context.manifest.inode)
            Fail(field, path.string() + ": is the manifest itself (a hard link); it is never served");
        if (!context.seen.insert(AsciiLower(relDir + name)).second)
            Fail(field, path.string() + ": another file of the package arrives at the same path on "
                                        "Windows, which does not tell upper and lower case apart");
        PackageFile file;
        file.relDir = relDir;
        file.fileName = name;
        file.source = path;
        file.folder = context.folder;
        file.relative = relative;
        file.stamp = StampFrom(st);
        file.size = file.stamp.size;
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
    // The package folder itself holds the manifest, passwords included.
    if (inside == ".")
        Fail(field, Quoted(folder) + " is the package folder itself; a module folder must lie below it");
    return resolved;
}

PackageModule ReadModule(const json& item, const std::string& field, const Package& package,
                         ScanContext& context) {
    context.seen.clear();
    CheckKeys(item, field, {"name", "versionA", "versionB", "state", "folder"});
    PackageModule module;
    module.label = Text(Required(item, "name", field + ".name"), field + ".name", 1, 4096);
    module.name = WireText(Required(item, "name", field + ".name"), field + ".name", 1, kMaxModuleName);
    uint32_t verA = Number(Required(item, "versionA", field + ".versionA"), field + ".versionA");
    uint32_t verB = Number(Required(item, "versionB", field + ".versionB"), field + ".versionB");
    char state = 'U';
    if (auto it = item.find("state"); it != item.end()) {
        std::string s = Text(*it, field + ".state", 1, 1);
        state = s[0];
    }
    if (auto it = item.find("folder"); it != item.end()) {
        std::string folder = Text(*it, field + ".folder", 1, 4096);
        const fs::path resolved = ModuleFolder(package.root, folder, field + ".folder");
        module.folder = resolved;
        ScanFolder(resolved, resolved.lexically_relative(package.root).generic_string(), "",
                   field + ".folder", module, context);
    }

    for (size_t i = 0; i < module.files.size(); ++i) {
        PackageFile& f = module.files[i];
        f.shareKey = module.name + '\0' + f.relDir + f.fileName + '\0' +
                     (i + 1 == module.files.size() ? "E" : "") + '\0' + std::to_string(f.stamp.device) + ':' +
                     std::to_string(f.stamp.inode);
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

Result<Package> LoadPackage(const fs::path& folder, bool checkSignature, const std::atomic<bool>* stop) {
    std::error_code ec;
    fs::path root = fs::canonical(folder, ec);
    if (ec || !fs::is_directory(root, ec)) {
        return Error(ErrorKind::kNotFound, folder.string() + ": not a package folder");
    }
    fs::path manifestPath = root / "package.json";
    std::ifstream in(manifestPath, std::ios::binary);
    if (!in)
        return Error::FromErrno(ErrorKind::kIo, manifestPath.string() + ": cannot be read");
    struct stat manifestStat {};
    if (::stat(manifestPath.c_str(), &manifestStat) != 0)
        return Error::FromErrno(ErrorKind::kIo, manifestPath.string() + ": cannot be read");
    ScanContext context;
    context.manifest = {uint64_t(manifestStat.st_dev), uint64_t(manifestStat.st_ino)};
    auto opened = PackageFolder::Open(root);
    if (!opened)
        return opened.error();
    context.folder = std::move(*opened);
    try {
        json manifest = json::parse(in);
        CheckKeys(manifest, "", {"package", "version", "users", "modules", "signing"});
        Package package;
        package.root = root;
        package.folder = context.folder;
        package.manifestDevice = context.manifest.device;
        package.manifestInode = context.manifest.inode;
        package.packageNo = WireText(Required(manifest, "package", "package"), "package", 1, kMaxPackageNo);

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
            user.name =
                WireText(Required(users[i], "name", field + ".name"), field + ".name", 1, kMaxUserName);
            user.password = WireText(Required(users[i], "password", field + ".password"), field + ".password",
                                     0, kMaxPassword);
            package.users.push_back(std::move(user));
        }

        const json& modules = Required(manifest, "modules", "modules");
        if (!modules.is_array())
            Fail("modules", "must be a list");
        std::set<std::string> names;
        for (size_t i = 0; i < modules.size(); ++i) {
            std::string field = "modules[" + std::to_string(i) + "]";
            PackageModule module = ReadModule(modules[i], field, package, context);
            if (!names.insert(module.name).second)
                Fail(field + ".name", Quoted(module.label) + " is listed twice");
            package.bytes += module.bytes;
            package.modules.push_back(std::move(module));
        }
        if (auto it = manifest.find("signing"); it != manifest.end())
            if (Status keys = ReadSigningKeys(*it, package.signingKeys); !keys)
                Fail("signing", keys.error().message());
        if (checkSignature)
            if (Status signature = CheckSignedPackage(package, stop); !signature)
                return signature.error().WithContext(manifestPath.string() + ": signing: ");
        return package;
    } catch (const ManifestError& e) {
        return Error(ErrorKind::kInvalid, manifestPath.string() + ": " + e.field + ": " + e.problem);
    } catch (const json::parse_error& e) {
        // The parser's own message quotes the text it last read, which may be part of a password.
        return Error(ErrorKind::kInvalid,
                     manifestPath.string() + ": not valid JSON at byte " + std::to_string(e.byte));
    } catch (const json::exception& e) {
        return Error(ErrorKind::kInvalid, manifestPath.string() + ": " + e.what());
    }
}

} // namespace publisher
