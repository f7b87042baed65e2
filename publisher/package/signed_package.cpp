#include "publisher/package/signed_package.h"

#include "service/package_check.h"
#include "service/package_files.h"

#include <nlohmann/json.hpp>

#include <map>

namespace publisher {
namespace fs = std::filesystem;
using package_manifest::kManifestName;
using package_manifest::kSignatureName;

namespace {

using package_files::HashFile;
using package_files::ReadSmallFile;

Error Invalid(std::string message) {
    return Error(ErrorKind::kInvalid, std::move(message));
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
Status DownloadedFiles(const Package& package, std::vector<package_manifest::FileEntry>& out,
                       const std::atomic<bool>* stop) {
    std::map<std::string, package_manifest::FileEntry> files;
    for (const auto& m : package.modules) {
        if (m.record.State == 'D') // listed, never downloaded
            continue;
        for (const auto& f : m.files) {
            package_manifest::FileEntry entry;
            entry.path = f.relDir + f.fileName;
            if (package_manifest::IsManifestFile(entry.path))
                continue;
            if (!HashFile(f.source, entry, stop))
                return Error(ErrorKind::kIo, f.source.string() + ": cannot be read");
            files[entry.path] = std::move(entry);
        }
    }
    for (auto& [path, entry] : files)
        out.push_back(std::move(entry));
    return Ok();
}

} // namespace

const PackageModule* ManifestModule(const Package& package) {
    for (const auto& m : package.modules)
        if (m.record.State != 'D' && !m.files.empty())
            return &m;
    return nullptr;
}

Status ReadSigningKeys(const nlohmann::json& signing, std::vector<minisign::PublicKey>& keys) {
    if (!signing.is_object() || signing.size() != 1 || !signing.contains("publicKeys"))
        return Invalid("must be an object with only \"publicKeys\"");
    const auto& list = signing["publicKeys"];
    if (!list.is_array() || list.empty() || list.size() > kMaxSigningKeys)
        return Invalid("publicKeys: must be a list of 1 to " + std::to_string(kMaxSigningKeys) +
                       " public keys");
    for (size_t i = 0; i < list.size(); ++i) {
        const std::string field = "publicKeys[" + std::to_string(i) + "]";
        if (!list[i].is_string())
            return Invalid(field + ": must be a string");
        auto key = minisign::ParsePublicKey(list[i].get_ref<const std::string&>());
        if (!key)
            return Invalid(field + ": not a minisign public key (the \"RWQ...\" line of the .pub file)");
        keys.push_back(*key);
    }
    return Ok();
}

Result<std::string> PackageManifestText(const Package& package) {
    package_manifest::Manifest manifest;
    manifest.packageNo = package.packageNo;
    manifest.verPart3 = package.verPart3;
    manifest.verPart4 = package.verPart4;
    if (Status listed = DownloadedFiles(package, manifest.files, nullptr); !listed)
        return listed.error();
    auto text = package_manifest::Format(std::move(manifest));
    if (!text)
        return Invalid("the package's names cannot be listed in a manifest");
    return std::move(*text);
}

Status CheckSignedPackage(const Package& package, const std::atomic<bool>* stop) {
    if (package.signingKeys.empty())
        return Ok();
    const auto manifestPath = TopFile(package, kManifestName);
    const auto signaturePath = TopFile(package, kSignatureName);
    std::optional<std::string> manifest, signature;
    if (manifestPath)
        manifest = ReadSmallFile(*manifestPath, package_manifest::kMaxManifestBytes);
    if (signaturePath)
        signature = ReadSmallFile(*signaturePath, minisign::kMaxSignatureFile);
    std::vector<package_manifest::FileEntry> files;
    if (Status listed = DownloadedFiles(package, files, stop); !listed)
        return listed.error();
    const package_check::Expectation expected{package.packageNo, package.verPart3, package.verPart4, {}};
    const auto result =
        package_check::CheckPackage(package.signingKeys, manifest, signature, expected, files);
    if (result.check == package_check::Check::kPassed)
        return Ok();
    std::string text = std::string(package_check::CheckName(result.check)) + ": " + result.file;
    if (result.check == package_check::Check::kNoManifest ||
        result.check == package_check::Check::kFileChanged ||
        result.check == package_check::Check::kFileNotListed ||
        result.check == package_check::Check::kFileMissing ||
        result.check == package_check::Check::kOtherVersion ||
        result.check == package_check::Check::kOtherPackage)
        text += " (write the manifest again with --write-manifest and sign it)";
    return Error(ErrorKind::kSignature, std::move(text));
}

} // namespace publisher
