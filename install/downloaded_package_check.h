// The check of a complete download before the install sequence touches anything: with signing keys
// built in (ORVANE_SIGNING_KEYS), the signed manifest must name the package asked for and the version
// offered, not older than the installed one, and list exactly the downloaded files. Built without
// keys, nothing is checked and the log says so.
//
// Threads: StartPackageCheck and the worker's owner belong to the interface thread; the check itself
// runs on the worker's thread and posts `message` to the window when it has a result.
#pragma once

#include "service/package_check.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

struct InstallSettings;

// The keys compiled in; empty when built without.
std::vector<minisign::PublicKey> BuiltInSigningKeys();

// Runs the whole check for the settings' folders, package and versions; one log line says how it ended
// (a failure's ends in "Faile" and names the check and the file). A stop counts as a failure.
package_check::CheckResult CheckDownloadedPackage(const InstallSettings& settings,
                                                  std::span<const minisign::PublicKey> keys,
                                                  const std::atomic<bool>& stop);

// The check on its own thread, so the window keeps painting while a large package is hashed.
class PackageCheckWorker {
  public:
    // Copies what it needs from `settings` now; posts `message` (wParam 0) to `window` when done.
    PackageCheckWorker(const InstallSettings& settings, HWND window, UINT message);
    ~PackageCheckWorker(); // stops the check and joins the thread
    PackageCheckWorker(const PackageCheckWorker&) = delete;
    PackageCheckWorker& operator=(const PackageCheckWorker&) = delete;

    // After the message: whether the package may be installed.
    bool Passed() const { return done_ && result_.check == package_check::Check::kPassed; }

  private:
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    package_check::CheckResult result_; // written by the worker before done_ is set
    std::thread thread_;
};
