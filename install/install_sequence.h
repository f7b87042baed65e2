// The install steps that turn a finished download in TempDir into the installed terminal, in order:
// module.info and update.ini, the install folder replaced by a copy of TempDir, server\depend.zip
// unpacked, TempDir removed, then the uninstall entry, the desktop link and the configuration files.
// Called by the main dialog when the download is complete, after it has closed the install log.
#pragma once

// No step's result stops the sequence.
void InstallDownloadedPackage();
