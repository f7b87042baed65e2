#include "publisher/signed_package.h"

#include "service/package_check.h"
#include "service/package_files.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>
#include <map>

namespace publisher {
namespace fs = std::filesystem;
using package_manifest::kManifestName;
using package_manifest::kSignatureName;

namespace {

constexpr int kExitDataErr = 65;
constexpr int kExitCantCreate = 73;

using package_files::HashFile;
using package_files::ReadSmallFile;

// Where installers find the manifest: the top of the download folder, written by the first module
// whose files are downloaded.
const PackageModule* ManifestModule(const Package& package) {
    for (const auto& m : package.modules)
        if (m.record.State != 'D' && !m.files.empty())
            return &m;
    return nullptr;
}

// The served copy of a file at the top of the download folder: the last module's, as on the installer.
std::optional<fs::path> TopFile(const Package& package, std::string_view name) {
    std::optional<fs::path> found;
    for (const auto& m : package.modules)
        if (m.record.State != 'D')
            for (const auto& f : m.files)
                if (f.relDir.empty() && f.fileName == name)
                    found = f.source;
    return found;
}

// Every file installers download, hashed, the manifest and its signature left out. A path served by two
// modules ends as the later module's file: that is the one listed.
bool DownloadedFiles(const Package& package, std::vector<package_manifest::FileEntry>& out,
                     std::string* error, const std::atomic<bool>* stop) {
    std::map<std::string, package_manifest::FileEntry> files;
    for (const auto& m : package.modules) {
        if (m.record.State == 'D') // listed, never downloaded
            continue;
        for (const auto& f : m.files) {
            package_manifest::FileEntry entry;
            entry.path = f.relDir + f.fileName;
            if (package_manifest::IsManifestFile(entry.path))
                continue;
            if (!HashFile(f.source, entry, stop)) {
                if (error)
                    *error = f.source.string() + ": cannot be read";
                return false;
            }
            files[entry.path] = std::move(entry);
        }
    }
    for (auto& [path, entry] : files)
        out.push_back(std::move(entry));
    return true;
}

} // namespace

std::string ReadSigningKeys(const nlohmann::json& signing, std::vector<minisign::PublicKey>& keys) {
    if (!signing.is_object() || signing.size() != 1 || !signing.contains("publicKeys"))
        return "must be an object with only \"publicKeys\"";
    const auto& list = signing["publicKeys"];
    if (!list.is_array() || list.empty() || list.size() > kMaxSigningKeys)
        return "publicKeys: must be a list of 1 to " + std::to_string(kMaxSigningKeys) + " public keys";
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string field = "publicKeys[" + std::to_string(i) + "]";
        if (!list[i].is_string())
            return field + ": must be a string";
        auto key = minisign::ParsePublicKey(list[i].get_ref<const std::string&>());
        if (!key)
            return field + ": not a minisign public key (the \"RWQ...\" line of the .pub file)";
        keys.push_back(*key);
    }
    return {};
}

std::optional<std::string> PackageManifestText(const Package& package, std::string* error) {
    package_manifest::Manifest manifest;
    manifest.packageNo = package.packageNo;
    manifest.verPart3 = package.verPart3;
    manifest.verPart4 = package.verPart4;
    if (!DownloadedFiles(package, manifest.files, error, nullptr))
        return std::nullopt;
    auto text = package_manifest::Format(std::move(manifest));
    if (!text && error)
        *error = "the package's names cannot be listed in a manifest";
    return text;
}

std::string CheckSignedPackage(const Package& package, const std::atomic<bool>* stop) {
    if (package.signingKeys.empty())
        return {};
    const auto manifestPath = TopFile(package, kManifestName);
    const auto signaturePath = TopFile(package, kSignatureName);
    std::optional<std::string> manifest, signature;
    if (manifestPath)
        manifest = ReadSmallFile(*manifestPath, package_manifest::kMaxManifestBytes);
    if (signaturePath)
        signature = ReadSmallFile(*signaturePath, minisign::kMaxSignatureFile);
    std::vector<package_manifest::FileEntry> files;
    if (std::string error; !DownloadedFiles(package, files, &error, stop))
        return error;
    const package_check::Expectation expected{package.packageNo, package.verPart3, package.verPart4, {}};
    const auto result =
        package_check::CheckPackage(package.signingKeys, manifest, signature, expected, files);
    if (result.check == package_check::Check::kPassed)
        return {};
    std::string text = std::string(package_check::CheckName(result.check)) + ": " + result.file;
    if (result.check == package_check::Check::kNoManifest ||
        result.check == package_check::Check::kFileChanged ||
        result.check == package_check::Check::kFileNotListed ||
        result.check == package_check::Check::kFileMissing ||
        result.check == package_check::Check::kOtherVersion ||
        result.check == package_check::Check::kOtherPackage)
        text += " (write the manifest again with --write-manifest and sign it)";
    return text;
}

int WriteManifestCommand(const std::string& packageDir) {
    PackageLoad load = LoadPackage(packageDir, /*checkSignature=*/false);
    if (!load.package) {
        std::cerr << "orvane-publisher: package refused: " << load.error << "\n";
        return kExitDataErr;
    }
    const Package& package = *load.package;
    const PackageModule* module = ManifestModule(package);
    if (!module) {
        std::cerr << "orvane-publisher: no module has files to list\n";
        return kExitDataErr;
    }
    std::string error;
    const auto text = PackageManifestText(package, &error);
    if (!text) {
        std::cerr << "orvane-publisher: " << error << "\n";
        return kExitDataErr;
    }
    const fs::path path = module->folder / kManifestName;
    const fs::path signature = module->folder / kSignatureName;
    if (ReadSmallFile(path, package_manifest::kMaxManifestBytes) == *text) {
        std::cout << path.string() << ": unchanged\n";
        return 0;
    }
    // Written aside and renamed, so a reader never sees half a manifest.
    const fs::path temporary = module->folder / (std::string(kManifestName) + ".new");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(text->data(), std::streamsize(text->size())) || !out.flush()) {
            std::cerr << "orvane-publisher: cannot write " << temporary.string() << "\n";
            return kExitCantCreate;
        }
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        fs::remove(temporary, ec);
        std::cerr << "orvane-publisher: cannot write " << path.string() << "\n";
        return kExitCantCreate;
    }
    std::cout << path.string() << ": written\n";
    if (fs::remove(signature, ec))
        std::cout << signature.string() << ": removed, it signed the old manifest\n";
    std::cout << "sign it: minisign -Sm " << path.string() << "\n";
    return 0;
}

} // namespace publisher
