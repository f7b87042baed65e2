#include "publisher/ops/reload_request.h"

#include <atomic>
#include <optional>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace publisher {
namespace fs = std::filesystem;
namespace {

std::optional<fs::path> OutcomeFile() {
    const char* dir = std::getenv("RUNTIME_DIRECTORY");
    if (!dir || !*dir)
        return std::nullopt;
    // RuntimeDirectory= may name several folders, separated by colons: the first is ours.
    std::string first(dir);
    return fs::path(first.substr(0, first.find(':'))) / "reload-outcome";
}

std::string ReadOutcome(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

} // namespace

void RecordReloadOutcome(bool ok, const std::string& text) {
    static std::atomic<unsigned long> reloads{0};
    const auto file = OutcomeFile();
    if (!file)
        return;
    std::string line =
        std::to_string(::getpid()) + " " + std::to_string(++reloads) + (ok ? " ok " : " refused ") + text;
    for (char& c : line)
        if (c == '\n' || c == '\r')
            c = ' ';
    const fs::path temporary = file->string() + ".new";
    {
        std::ofstream out(temporary, std::ios::trunc);
        out << line << "\n";
        if (!out)
            return; // the waiting --reload then reports that no answer came
    }
    std::error_code ec;
    fs::rename(temporary, *file, ec);
}

Result<ReloadOutcome> RequestReload(pid_t pid, std::chrono::milliseconds timeout) {
    const auto file = OutcomeFile();
    if (!file)
        return Error(ErrorKind::kInvalid, "--reload needs RUNTIME_DIRECTORY (RuntimeDirectory= in the unit)");
    const std::string before = ReadOutcome(*file);
    if (::kill(pid, SIGHUP) != 0)
        return Error::FromErrno(ErrorKind::kNotFound,
                                "--reload: no process " + std::to_string(pid) + " to signal");
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        const std::string now = ReadOutcome(*file);
        if (!now.empty() && now != before) {
            std::istringstream fields(now);
            std::string owner, number, verdict, text;
            fields >> owner >> number >> verdict;
            std::getline(fields >> std::ws, text);
            return ReloadOutcome{verdict == "ok", text};
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return Error(ErrorKind::kBusy, "--reload: process " + std::to_string(pid) +
                                       " recorded no reload within " +
                                       std::to_string(timeout.count() / 1000) + " s");
}

} // namespace publisher
