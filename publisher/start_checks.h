// What a start must find usable before it serves, checked the same way by a start and by --check-config,
// so that a configuration that passes the check does not fail once running.
#pragma once

#include "publisher/options.h"
#include "publisher/package.h"

#include <filesystem>
#include <string>
#include <vector>

namespace publisher {

// One warning line per test switch that is on: they change what installers get.
std::vector<std::string> TestSwitchWarnings(const TestSwitches& test);
// Empty when the log file can be opened for appending (created if need be) by this user; otherwise why.
std::string CheckLogFile(const std::filesystem::path& path);
// Empty when the cache folder exists and this user may write into it, or it can be created.
std::string CheckCacheFolder(const std::filesystem::path& dir);
// "path: reason" for each package file this user cannot open for reading (a module of it would end
// every download with an error).
std::vector<std::string> UnreadableFiles(const Package& package);
// Binds each listener of `options` on a socket that is closed at once. Empty when all can be bound;
// otherwise why. A port already in use is no error but a line in `busy`: a check is usually run while
// the service it checks for is running.
std::string CheckListeners(const Options& options, std::vector<std::string>& busy);

} // namespace publisher
