// The installer's exit codes, in quiet mode only (without /quiet it always exits with 0). The one place
// that says what each outcome returns; the README lists them for deployers. 0 is success and any other
// value a failure, as software-distribution tools read it; none is a Windows loader status (those are
// 0xC0000000 and above), and a copy already running returns the code such tools retry later.
#pragma once

enum InstallerExit : int {
    kExitInstalled = 0,
    kExitServiceUnreachable = 20, // no attempt reached the service (after the reconnect rules)
    kExitLoginRefused = 21,       // the service refused the link or the login
    kExitNothingOffered = 22,     // the service offers no version of this package
    kExitDownloadFailed = 23,     // the download failed for good (a broken or hostile answer, a full disk)
    kExitPackageCheckFailed = 24, // the signed package check refused the download
    kExitInstallFailed = 25,      // an install step failed; the earlier installation is kept
    kExitBadCommandLine = 87,     // unknown switch, /log without a path, a log that cannot be written
    kExitAlreadyRunning = 1618,   // another copy of the installer is running
};
