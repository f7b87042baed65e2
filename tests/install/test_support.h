// Scratch folders, file helpers and a guard for the process-wide installer state, shared by the
// installation-action tests.
#pragma once

#include "core/install_settings.h"
#include "core/module_list.h"

#include <optional>
#include <set>
#include <string>

// A fresh folder below %TEMP%, removed with everything in it when the object goes.
class ScratchFolder {
  public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& Path() const { return path_; }
    std::string operator/(const std::string& relative) const { return path_ + "\\" + relative; }

  private:
    std::string path_;
};

// Restores InstallSettings and ModuleList as they were, so tests can set them freely.
class StateGuard {
  public:
    StateGuard();
    ~StateGuard();
    StateGuard(const StateGuard&) = delete;
    StateGuard& operator=(const StateGuard&) = delete;

  private:
    InstallSettings settings_;
    ModuleList modules_;
};

// The tests' ASCII paths in the system's wide form, and back (what a wide path cannot hold is '?').
std::wstring W(const std::string& text);
std::string A(const std::wstring& text);

std::optional<std::string> ReadWholeFile(const std::string& path);
// Creates the file's folders as needed.
bool WriteWholeFile(const std::string& path, const std::string& data);
bool IsFile(const std::string& path);
bool IsFolder(const std::string& path);
bool PathExists(const std::string& path);
// Every file and folder below root, relative, folders ending in "\".
std::set<std::string> ListTree(const std::string& root);
// The stand-in terminal built beside the test executable.
std::string StandInTerminalPath();
// Waits (bounded) for a file that another process is about to write.
bool WaitForFile(const std::string& path, unsigned timeoutMs);
