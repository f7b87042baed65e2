// What a start must find usable before it serves, checked the same way by a start and by --check-config,
// so that a configuration that passes the check does not fail once running.
#pragma once

#include "core/result.h"
#include "publisher/command_line/options.h"
#include "publisher/package/package.h"

#include <filesystem>
#include <string>
#include <vector>

namespace publisher {

// One warning line per test switch that is on: they change what installers get.
std::vector<std::string> TestSwitchWarnings(const TestSwitches& test);
// Whether the log file can be opened for appending (created if need be) by this user.
Status CheckLogFile(const std::filesystem::path& path);
// Whether the cache folder exists and this user may write into it, or it can be created.
Status CheckCacheFolder(const std::filesystem::path& dir);
// "path: reason" for each package file this user cannot open for reading (a module of it would end
// every download with an error).
std::vector<std::string> UnreadableFiles(const Package& package);
// Binds each listener of `options` on a socket that is closed at once: a failure when one cannot be
// bound. A port already in use is no error but a line in `busy`: a check is usually run while the
// service it checks for is running.
Status CheckListeners(const Options& options, std::vector<std::string>& busy);

} // namespace publisher
