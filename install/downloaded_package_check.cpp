#include "install/downloaded_package_check.h"

#include "core/install_log.h"
#include "core/install_settings.h"
#include "install/downloaded_files.h"

namespace {

constexpr std::string_view kTag = "CheckPackage";

void LogResult(const package_check::CheckResult& result) {
    if (result.check == package_check::Check::kPassed)
        LogEvent(kTag, "signed manifest Success");
    else
        LogEvent(kTag, std::string(package_check::CheckName(result.check)) + " " + result.file + " Faile");
}

} // namespace

package_check::CheckResult CheckDownloadedPackage(const InstallSettings& settings,
                                                  std::span<const minisign::PublicKey> keys,
                                                  const std::atomic<bool>& stop) {
    using package_manifest::kManifestName;
    using package_manifest::kSignatureName;
    const auto manifest =
        ReadDownloadedFile(settings.TempDir, kManifestName, package_manifest::kMaxManifestBytes);
    const auto signature = ReadDownloadedFile(settings.TempDir, kSignatureName, minisign::kMaxSignatureFile);
    const auto files = HashDownloadedFiles(settings.TempDir, stop);
    if (!files) {
        // A file that cannot be read cannot be shown to be the signed one.
        package_check::CheckResult result{package_check::Check::kFileChanged, files.error().message()};
        LogResult(result);
        return result;
    }
    // Whatever kept the manifest or its signature from being read, it is not there to check against.
    auto present = [](const Result<std::string>& text) -> std::optional<std::string_view> {
        if (!text)
            return std::nullopt;
        return *text;
    };
    const auto installed = InstalledVersion(settings.InstallDir);
    const package_check::Expectation expected{settings.PackageNo, settings.NewVerPart3, settings.NewVerPart4,
                                              installed ? std::optional(*installed) : std::nullopt};
    const auto result =
        package_check::CheckPackage(keys, present(manifest), present(signature), expected, *files);
    LogResult(result);
    return result;
}

PackageCheckWorker::PackageCheckWorker(const InstallSettings& settings, HWND window, UINT message) {
    auto keys = BuiltInSigningKeys();
    if (keys.empty()) {
        LogEvent(kTag, "not verified: built without signing keys");
        done_ = true;
        PostMessageW(window, message, 0, 0);
        return;
    }
    thread_ = std::thread([this, settings, keys = std::move(keys), window, message] {
        result_ = CheckDownloadedPackage(settings, keys, stop_);
        done_ = true;
        PostMessageW(window, message, 0, 0);
    });
}

PackageCheckWorker::~PackageCheckWorker() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
}
