#include "publisher/write_manifest.h"

#include "publisher/package/load_package.h"
#include "publisher/package/signed_package.h"
#include "service/package_files.h"
#include "service/package_manifest.h"

#include <fstream>
#include <iostream>

namespace publisher {
namespace fs = std::filesystem;
using package_manifest::kManifestName;
using package_manifest::kSignatureName;

Status WriteManifest(const std::string& packageDir) {
    // Only a manifest that cannot be written is kIo (its own exit status); whatever stops the listing,
    // an unreadable file included, is the package's fault.
    auto refused = [](const Error& error, const std::string& context) {
        return Error(ErrorKind::kInvalid, context + error.message(), error.systemError());
    };
    const Result<Package> load = LoadPackage(packageDir, /*checkSignature=*/false);
    if (!load)
        return refused(load.error(), "package refused: ");
    const Package& package = *load;
    const PackageModule* module = ManifestModule(package);
    if (!module)
        return Error(ErrorKind::kInvalid, "no module has files to list");
    const Result<std::string> text = PackageManifestText(package);
    if (!text)
        return refused(text.error(), "");
    const fs::path path = module->folder / kManifestName;
    const fs::path signature = module->folder / kSignatureName;
    if (package_files::ReadSmallFile(path, package_manifest::kMaxManifestBytes) == *text) {
        std::cout << path.string() << ": unchanged\n";
        return Ok();
    }
    // Written aside and renamed, so a reader never sees half a manifest.
    const fs::path temporary = module->folder / (std::string(kManifestName) + ".new");
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        if (!out || !out.write(text->data(), std::streamsize(text->size())) || !out.flush())
            return Error::FromErrno(ErrorKind::kIo, "cannot write " + temporary.string());
    }
    std::error_code ec;
    fs::rename(temporary, path, ec);
    if (ec) {
        const int code = ec.value();
        fs::remove(temporary, ec);
        return Error(ErrorKind::kIo, "cannot write " + path.string(), code);
    }
    std::cout << path.string() << ": written\n";
    if (fs::remove(signature, ec))
        std::cout << signature.string() << ": removed, it signed the old manifest\n";
    std::cout << "sign it: minisign -Sm " << path.string() << "\n";
    return Ok();
}

} // namespace publisher
