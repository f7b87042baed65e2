// A package folder as the service publishes it: the manifest (package.json) and, per module, the files
// of its source folder laid over the installer's download folder. Loaded and validated once at start;
// read-only afterwards, so every connection may share it.
//
// package.json:
//   {
//     "package": "000185",                       // package number, at most 9 bytes
//     "version": { "part3": 12, "part4": 3 },     // the version on offer, 8.5.part3.part4
//     "users": [ { "name": "tulip", "password": "tulip" } ],
//     "modules": [
//       { "name": "server", "versionA": 1, "versionB": 0, "state": "U", "folder": "modules/server" },
//       { "name": "docs", "versionA": 1, "versionB": 0, "state": "D" }      // no folder: no files
//     ],
//     "signing": { "publicKeys": [ "RWQ..." ] }    // optional: serve only a package signed by one
//   }
// A file modules/server/deps/depend.zip arrives on the installer side as RelDir "deps\" and FileName
// "depend.zip".
#pragma once

#include "core/module_list.h"
#include "publisher/package/file_stamp.h"
#include "service/minisign_check.h"

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace publisher {

// Field widths of the wire records the names travel in, without their NUL.
constexpr size_t kMaxPackageNo = 9; // the installer sends at most 9 characters
constexpr size_t kMaxModuleName = 50;
constexpr size_t kMaxFileName = 58;
constexpr size_t kMaxRelDir = 100;
constexpr size_t kMaxUserName = 50;
constexpr size_t kMaxPassword = 20;

// Every name here is in code page 936, as installers read it; `source` is the path on this machine.
class PackageFolder;

struct PackageFile {
    std::string relDir;           // "" or "a\b\" (backslashes, trailing backslash)
    std::string fileName;         // last part of the path
    std::filesystem::path source; // for people: the path the file was loaded from
    uint64_t size = 0;
    // Where the file is read from: `relative` below the package folder held since loading, never
    // through a link. `stamp` is the file as loaded: a download serves that file or fails.
    std::shared_ptr<const PackageFolder> folder;
    std::string relative;
    FileStamp stamp;
    // What the file's kept and prepared messages are filed under: its place in the download (module,
    // RelDir, FileName, whether it ends its module) and the file itself (device, inode), so that two
    // loads of a package share the messages of the files both serve and keep apart two files at one
    // place. The messages also need the same stamp.
    std::string shareKey;
};

struct PackageModule {
    ModuleRecord record;            // what the module check reports
    std::string name;               // in code page 936, as on the wire
    std::string label;              // as the manifest writes it (UTF-8), for people
    std::filesystem::path folder;   // its folder on this machine; empty without files
    std::vector<PackageFile> files; // in a stable order: folder by folder, names sorted
    uint64_t bytes = 0;
};

struct PackageUser {
    std::string name;
    std::string password;
};

struct Package {
    std::filesystem::path root;
    std::shared_ptr<const PackageFolder> folder;
    std::string packageNo;
    uint32_t verPart3 = 0;
    uint32_t verPart4 = 0;
    std::vector<PackageUser> users;
    std::vector<PackageModule> modules;
    std::vector<minisign::PublicKey> signingKeys; // "signing": the package must carry their signature
    uint64_t bytes = 0;
    // The manifest's device and inode: no file by that identity is ever sent, whatever its name.
    uint64_t manifestDevice = 0;
    uint64_t manifestInode = 0;

    const PackageModule* FindModule(std::string_view name) const;
    size_t FileCount() const; // of every module
    bool CheckUser(std::string_view name, std::string_view password) const;
};

} // namespace publisher
