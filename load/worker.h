// One install in a worker process: the installer's own attempts (service/download_attempts.h) driven to
// their end through the native notification queue, its download written to the worker's folder in
// memory-backed storage, checked, and the folder emptied again. The clients use the process-wide
// InstallSettings and ModuleList, so a process runs one install at a time: the load runs one worker
// process per install at a time (load_run.h).
//
// Threads: the calling thread plays the installer's interface thread; the clients start and join their
// own. Nothing here may run in the parent, which forks the workers and must have no thread of its own.
#pragma once

#include "load/results.h"
#include "load/verify.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <string>

namespace load {

struct WorkerSetup {
    std::string address; // the check service
    uint16_t port = 0;
    std::string packageNo;
    std::filesystem::path folder; // this worker's download folder; nothing is written elsewhere
    const Verification* verification = nullptr;
};

// One install from its first attempt to done or failed, checked when done; the folder is emptied before
// and after.
InstallResult RunInstall(const WorkerSetup& setup, uint32_t number);

// The pre-flight: the first attempt as far as the module list, then cancelled. kNone when the list came;
// kUnreachable (failMessage 0: the connect failed; kNotifyCheckLost: the connection ended before the
// list), kRefused, kNothingOffered (failCode: the service's code), or kTimeout after `limit`.
InstallResult RunProbe(const WorkerSetup& setup, std::chrono::milliseconds limit);

// A worker process's life: reads install numbers (4 bytes, little-endian) from commandFd until it is
// closed, runs each and writes its record to resultFd. Returns the exit status.
int WorkerLoop(int commandFd, int resultFd, const WorkerSetup& setup);

// The pre-flight process's life: the probe, its record written to resultFd. Returns the exit status.
int ProbeMain(int resultFd, const WorkerSetup& setup, std::chrono::milliseconds limit);

// Removes everything inside `folder` (made when missing); false when something stayed.
bool EmptyFolder(const std::filesystem::path& folder);

} // namespace load
