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

// What is wrong with one field of the manifest: "field: problem", placed after the manifest's path by
// LoadPackage.
Error Refuse(const std::string& field, const std::string& problem) {
    return Error(ErrorKind::kInvalid, field + ": " + problem);
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

Status CheckKeys(const json& object, const std::string& where, std::initializer_list<const char*> allowed) {
    if (!object.is_object())
        return Refuse(where, "must be an object");
    for (const auto& item : object.items()) {
        bool known =
            std::any_of(allowed.begin(), allowed.end(), [&](const char* k) { return item.key() == k; });
        if (!known)
            return Refuse(where.empty() ? item.key() : where + "." + item.key(), "unknown field");
    }
    return Ok();
}

// The value of `key`, which must be there; null when it is not.
const json* Required(const json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

Result<std::string> Text(const json* value, const std::string& field, size_t minBytes, size_t maxBytes) {
    if (!value)
        return Refuse(field, "missing");
    if (!value->is_string())
        return Refuse(field, "must be a string");
    const std::string& s = value->get_ref<const std::string&>();
    if (s.find('\0') != std::string::npos)
        return Refuse(field, "must not contain a NUL character");
    if (s.size() < minBytes)
        return Refuse(field, "must not be empty");
    if (s.size() > maxBytes)
        return Refuse(field, Shown(field, s) + " is " + std::to_string(s.size()) + " bytes; at most " +
                                 std::to_string(maxBytes) + " fit the record");
    return s;
}

// A text as installers receive it: converted to code page 936, its width checked on the converted bytes.
Result<std::string> WireText(const json* value, const std::string& field, size_t minBytes, size_t maxBytes) {
    Result<std::string> utf8 = Text(value, field, minBytes, 4096);
    if (!utf8)
        return utf8;
    std::optional<std::string> wire = ToCodePage936(*utf8);
    if (!wire)
        return Refuse(field, Shown(field, *utf8) + " is no UTF-8 text that code page 936 can hold");
    if (wire->size() > maxBytes)
        return Refuse(field, Shown(field, *utf8) + " is " + std::to_string(wire->size()) +
                                 " bytes in code page 936; at most " + std::to_string(maxBytes) +
                                 " fit the record");
    return std::move(*wire);
}

// The code page 936 form of one file or folder name below a module folder.
Result<std::string> WireName(const fs::path& path, const std::string& field) {
    std::string name = path.filename().string();
    if (const char* problem = WindowsNameProblem(name))
        return Refuse(field, path.string() + ": Windows cannot create this name: it has " + problem);
    std::optional<std::string> wire = ToCodePage936(name);
    if (!wire)
        return Refuse(field, path.string() + ": the name is no UTF-8 text that code page 936 can hold");
    return std::move(*wire);
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

Result<uint32_t> Number(const json* value, const std::string& field) {
    if (!value)
        return Refuse(field, "missing");
    if (!value->is_number_unsigned() || value->get<uint64_t>() > std::numeric_limits<uint32_t>::max())
        return Refuse(field, "must be a whole number from 0 to 4294967295");
    return value->get<uint32_t>();
}

// Walks `folder` in a stable order and appends its files with the relative folder they arrive in.
// `below` is the folder's path relative to the package folder, with '/' between its parts.
Status ScanFolder(const fs::path& folder, const std::string& below, const std::string& relDir,
                  const std::string& field, PackageModule& module, ScanContext& context) {
    std::error_code ec;
    std::vector<fs::directory_entry> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(*it);
    if (ec)
        return Refuse(field, "cannot read folder " + folder.string() + ": " + ec.message());
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) {
        return a.path().filename().string() < b.path().filename().string();
    });

    for (const auto& entry : entries) {
        const fs::path& path = entry.path();
        const Result<std::string> wireName = WireName(path, field);
        if (!wireName)
            return wireName.error();
        const std::string& name = *wireName;
        fs::file_status status = entry.symlink_status(ec);
        if (ec)
            return Refuse(field, path.string() + ": " + ec.message());
        if (fs::is_symlink(status))
            return Refuse(field, path.string() +
                                     ": symbolic links are not published; copy the file into the package");
        if (fs::is_directory(status)) {
            if (Status scanned = ScanFolder(path, below + "/" + path.filename().string(),
                                            relDir + name + "\\", field, module, context);
                !scanned)
                return scanned;
            continue;
        }
        // A fifo or device would block or never end the stream.
        if (!fs::is_regular_file(status))
            return Refuse(field, path.string() + ": not a regular file");
        if (name.size() > kMaxFileName)
            return Refuse(field, path.string() + ": FileName is " + std::to_string(name.size()) +
                                     " bytes in code page 936; at most " + std::to_string(kMaxFileName) +
                                     " fit the record");
        if (relDir.size() > kMaxRelDir)
            return Refuse(field, path.string() + ": RelDir is " + std::to_string(relDir.size()) +
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
            return Refuse(field, path.string() + ": cannot be read");
        if (uint64_t(st.st_dev) == context.manifest.device && uint64_t(st.st_ino) == context.manifest.inode)
            return Refuse(field,
                          path.string() + ": is the manifest itself (a hard link); it is never served");
        if (!context.seen.insert(AsciiLower(relDir + name)).second)
            return Refuse(field, path.string() + ": another file of the package arrives at the same path on "
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
    return Ok();
}

// The module's source folder, which must lie inside the package folder.
Result<fs::path> ModuleFolder(const fs::path& root, const std::string& folder, const std::string& field) {
    fs::path relative(folder);
    if (relative.is_absolute())
        return Refuse(field, Quoted(folder) + " must be relative to the package folder");
    std::error_code ec;
    fs::path resolved = fs::canonical(root / relative, ec);
    if (ec)
        return Refuse(field, Quoted(folder) + ": " + ec.message());
    if (!fs::is_directory(resolved, ec))
        return Refuse(field, Quoted(folder) + " is not a folder");
    fs::path inside = resolved.lexically_relative(root);
    if (inside.empty() || *inside.begin() == "..")
        return Refuse(field, Quoted(folder) + " lies outside the package folder");
    // The package folder itself holds the manifest, passwords included.
    if (inside == ".")
        return Refuse(field,
                      Quoted(folder) + " is the package folder itself; a module folder must lie below it");
    return resolved;
}

Result<PackageModule> ReadModule(const json& item, const std::string& field, const Package& package,
                                 ScanContext& context) {
    context.seen.clear();
    if (Status keys = CheckKeys(item, field, {"name", "versionA", "versionB", "state", "folder"}); !keys)
        return keys.error();
    PackageModule module;
    const json* name = Required(item, "name");
    Result<std::string> label = Text(name, field + ".name", 1, 4096);
    if (!label)
        return label.error();
    Result<std::string> wireName = WireText(name, field + ".name", 1, kMaxModuleName);
    if (!wireName)
        return wireName.error();
    Result<uint32_t> verA = Number(Required(item, "versionA"), field + ".versionA");
    if (!verA)
        return verA.error();
    Result<uint32_t> verB = Number(Required(item, "versionB"), field + ".versionB");
    if (!verB)
        return verB.error();
    module.label = std::move(*label);
    module.name = std::move(*wireName);
    char state = 'U';
    if (auto it = item.find("state"); it != item.end()) {
        Result<std::string> s = Text(&*it, field + ".state", 1, 1);
        if (!s)
            return s.error();
        state = (*s)[0];
    }
    if (auto it = item.find("folder"); it != item.end()) {
        Result<std::string> folder = Text(&*it, field + ".folder", 1, 4096);
        if (!folder)
            return folder.error();
        const Result<fs::path> resolved = ModuleFolder(package.root, *folder, field + ".folder");
        if (!resolved)
            return resolved.error();
        module.folder = *resolved;
        if (Status scanned =
                ScanFolder(*resolved, resolved->lexically_relative(package.root).generic_string(), "",
                           field + ".folder", module, context);
            !scanned)
            return scanned.error();
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
    r.ModuleVerA = *verA;
    r.ModuleVerB = *verB;
    r.State = state;
    return module;
}

// The manifest's fields into `package`; the files of its modules scanned.
Status ReadManifest(const json& manifest, Package& package, ScanContext& context) {
    if (Status keys = CheckKeys(manifest, "", {"package", "version", "users", "modules", "signing"}); !keys)
        return keys;
    Result<std::string> packageNo = WireText(Required(manifest, "package"), "package", 1, kMaxPackageNo);
    if (!packageNo)
        return packageNo.error();
    package.packageNo = std::move(*packageNo);

    const json* version = Required(manifest, "version");
    if (!version)
        return Refuse("version", "missing");
    if (Status keys = CheckKeys(*version, "version", {"part3", "part4"}); !keys)
        return keys;
    Result<uint32_t> part3 = Number(Required(*version, "part3"), "version.part3");
    if (!part3)
        return part3.error();
    Result<uint32_t> part4 = Number(Required(*version, "part4"), "version.part4");
    if (!part4)
        return part4.error();
    package.verPart3 = *part3;
    package.verPart4 = *part4;

    const json* users = Required(manifest, "users");
    if (!users)
        return Refuse("users", "missing");
    if (!users->is_array() || users->empty())
        return Refuse("users", "must be a list of at least one user");
    for (size_t i = 0; i < users->size(); ++i) {
        const std::string field = "users[" + std::to_string(i) + "]";
        const json& item = (*users)[i];
        if (Status keys = CheckKeys(item, field, {"name", "password"}); !keys)
            return keys;
        Result<std::string> name = WireText(Required(item, "name"), field + ".name", 1, kMaxUserName);
        if (!name)
            return name.error();
        Result<std::string> password =
            WireText(Required(item, "password"), field + ".password", 0, kMaxPassword);
        if (!password)
            return password.error();
        package.users.push_back({std::move(*name), std::move(*password)});
    }

    const json* modules = Required(manifest, "modules");
    if (!modules)
        return Refuse("modules", "missing");
    if (!modules->is_array())
        return Refuse("modules", "must be a list");
    std::set<std::string> names;
    for (size_t i = 0; i < modules->size(); ++i) {
        const std::string field = "modules[" + std::to_string(i) + "]";
        Result<PackageModule> module = ReadModule((*modules)[i], field, package, context);
        if (!module)
            return module.error();
        if (!names.insert(module->name).second)
            return Refuse(field + ".name", Quoted(module->label) + " is listed twice");
        package.bytes += module->bytes;
        package.modules.push_back(std::move(*module));
    }
    if (auto it = manifest.find("signing"); it != manifest.end())
        if (Status keys = ReadSigningKeys(*it, package.signingKeys); !keys)
            return Refuse("signing", keys.error().message());
    return Ok();
}

} // namespace

Result<Package> LoadPackage(const fs::path& folder, bool checkSignature, const std::atomic<bool>* stop) {
    std::error_code ec;
    fs::path root = fs::canonical(folder, ec);
    if (ec || !fs::is_directory(root, ec))
        return Error(ErrorKind::kNotFound, folder.string() + ": not a package folder");
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
    Package package;
    package.root = root;
    package.folder = context.folder;
    package.manifestDevice = context.manifest.device;
    package.manifestInode = context.manifest.inode;
    // The JSON library throws; its errors end here.
    try {
        const json manifest = json::parse(in);
        if (Status read = ReadManifest(manifest, package, context); !read)
            return read.error().WithContext(manifestPath.string() + ": ");
    } catch (const json::parse_error& e) {
        // The parser's own message quotes the text it last read, which may be part of a password.
        return Error(ErrorKind::kInvalid,
                     manifestPath.string() + ": not valid JSON at byte " + std::to_string(e.byte));
    } catch (const json::exception& e) {
        return Error(ErrorKind::kInvalid, manifestPath.string() + ": " + e.what());
    }
    if (checkSignature)
        if (Status signature = CheckSignedPackage(package, stop); !signature)
            return signature.error().WithContext(manifestPath.string() + ": signing: ");
    return package;
}

} // namespace publisher
