// The install steps that turn a finished download in TempDir into the installed terminal, and the
// recovery of an install that was cut short. Interface thread only.
//
// The previous installation is never lost: it is renamed aside (InstallDir + ".previous", in the same
// folder, so the move costs no space), TempDir is copied into place and checked file by file, the
// dependency archive is unpacked, and only then is the moved-aside folder renamed for removal
// (InstallDir + ".remove") and deleted. Any failure up to that point removes what was copied and moves
// the previous installation back. The uninstall entry, the desktop link and the configuration files
// follow once the files are in place; their failure leaves the (good) files where they are. From the
// commit until they are all written a marker (OwedStepsMarker) stays in the install folder, so a stop
// in between is made good at the next start (FinishOwedSteps).
//
// An install folder that is a link (a junction or symbolic link) is never renamed, emptied or deleted:
// that would act on what it points at.
#pragma once

#include "service/download_writer.h"

#include <string>
#include <vector>

struct InstallSettings;

enum class InstallStep {
    None, // every step succeeded
    ModuleInfo,
    UpdateIni,
    Linked,    // the install folder is a link: nothing is moved
    MoveAside, // the previous installation is in use or could not be renamed
    Copy,
    Check, // a file of TempDir or of the download is missing from the install folder or has another size
    Depend,
    Commit, // the previous installation could not be set aside for removal
    UninstallEntry,
    Shortcut,
    Config,
};

// The step's name as the log line shows it.
const char* InstallStepName(InstallStep step);

struct InstallOutcome {
    InstallStep failed = InstallStep::None; // the first step that failed
    bool filesInPlace = false;              // the new files are installed (the later steps may still fail)
    bool restored = true;                   // after a file step failed: the previous state is back
};

// The whole sequence, for the settings in GetInstallSettings(). Writes one log line per failed step into
// the log that belongs to the state it leaves: TempDir's while the files are not in place, the
// installed one after. The install log must be closed by the caller first (it is copied).
// received is what the download wrote (ProcessDL::ReceivedFiles): the install folder is checked against
// it as well as against TempDir, so a file that vanished from both is still missed.
InstallOutcome InstallDownloadedPackage(const std::vector<ReceivedFile>& received = {});

// The folders the sequence renames into; both sit beside the install folder.
std::wstring MovedAsideFolder(const InstallSettings& settings);
std::wstring RemovalFolder(const InstallSettings& settings);
// The marker kept in the install folder while the uninstall entry, link or configuration files are owed.
std::wstring OwedStepsMarker(const InstallSettings& settings);

// At start, after the recovery: an install folder holding the marker got its files but not (all of) its
// registration. Writes the uninstall entry, the link and the configuration files (the version from the
// installed module.info), logs it, and removes the marker once all three are written. Nothing when
// there is no marker.
enum class OwedSteps { Nothing, Written, Failed };
OwedSteps FinishOwedSteps(InstallSettings& settings);

enum class Recovery { Nothing, Restored, Failed };

// At start, before anything else: a moved-aside folder means an install was cut short before its files
// were confirmed, so whatever is in the install folder goes and the previous installation comes back.
// A left-over removal folder is deleted. A link in any of those places is left alone (Failed).
Recovery RecoverInterruptedInstall(const InstallSettings& settings);
