#include "publisher/start_checks.h"

#include "publisher/ops/unique_fd.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace publisher {
namespace {

namespace fs = std::filesystem;

// The nearest folder of `path` (itself included) that exists: what a create would write into.
fs::path ExistingAncestor(fs::path path) {
    std::error_code ec;
    path = fs::absolute(path, ec);
    while (!path.empty() && !fs::exists(path, ec) && path != path.parent_path())
        path = path.parent_path();
    return path;
}

Error SystemError(ErrorKind kind, const std::string& what, int code) {
    return Error(kind, what + ": " + std::strerror(code), code);
}

Status Writable(const fs::path& folder) {
    if (::access(folder.c_str(), W_OK | X_OK) == 0)
        return Ok();
    return SystemError(ErrorKind::kIo, folder.string(), errno);
}

} // namespace

std::vector<std::string> TestSwitchWarnings(const TestSwitches& test) {
    std::vector<std::string> lines;
    auto warn = [&](const std::string& option, const std::string& effect) {
        lines.push_back("warning: test switch " + option + " is on: " + effect + "; never use in production");
    };
    if (test.refuseAuth)
        warn("--test-refuse-auth",
             "every authentication is refused with " + std::to_string(*test.refuseAuth));
    if (test.refuseLogin)
        warn("--test-refuse-login", "every login is refused with " + std::to_string(*test.refuseLogin));
    if (test.offerNothing)
        warn("--test-offer-nothing",
             "update checks offer nothing, with " + std::to_string(*test.offerNothing));
    if (test.dropAfter)
        warn("--test-drop-after", "downloads are cut after " + std::to_string(*test.dropAfter) + " messages");
    if (test.closeAfterLogin)
        warn("--test-close-after-login", "connections are closed after their login");
    if (test.dropTimes)
        warn("--test-drop-times",
             "only the first " + std::to_string(*test.dropTimes) + " connections are cut");
    if (test.garbage)
        warn("--test-garbage", "every answer is bytes that are no packet");
    if (test.hostileRelDir)
        warn("--test-hostile-reldir", "every download starts with a chunk that climbs out of its folder");
    if (test.timeScale != 1)
        warn("--test-time-scale",
             "the idle and hold limits pass " + std::to_string(test.timeScale) + " times faster");
    return lines;
}

Status CheckLogFile(const fs::path& path) {
    std::error_code ec;
    if (fs::is_directory(path, ec))
        return Error(ErrorKind::kIo, path.string() + ": is a folder");
    if (fs::exists(path, ec)) {
        if (::access(path.c_str(), W_OK) == 0)
            return Ok();
        return SystemError(ErrorKind::kIo, path.string(), errno);
    }
    const fs::path parent = fs::absolute(path, ec).parent_path();
    if (!fs::is_directory(parent, ec))
        return Error(ErrorKind::kNotFound, parent.string() + ": no such folder");
    return Writable(parent);
}

Status CheckCacheFolder(const fs::path& dir) {
    std::error_code ec;
    if (fs::exists(dir, ec) && !fs::is_directory(dir, ec))
        return Error(ErrorKind::kIo, dir.string() + ": is no folder");
    const fs::path existing = ExistingAncestor(dir);
    if (!fs::is_directory(existing, ec))
        return Error(ErrorKind::kIo, existing.string() + ": is no folder");
    return Writable(existing);
}

std::vector<std::string> UnreadableFiles(const Package& package) {
    std::vector<std::string> lines;
    for (const auto& m : package.modules)
        for (const auto& f : m.files) {
            const UniqueFd fd(::open(f.source.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
            if (!fd)
                lines.push_back(f.source.string() + ": " + std::strerror(errno));
        }
    return lines;
}

Status CheckListeners(const Options& options, std::vector<std::string>& busy) {
    std::vector<std::pair<std::string, Endpoint>> all;
    if (options.check)
        all.emplace_back("check", *options.check);
    for (const auto& d : options.downloads)
        all.emplace_back("download", d);
    if (options.metrics)
        all.emplace_back("metrics", *options.metrics);
    for (const auto& [role, e] : all) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(e.port);
        if (::inet_pton(AF_INET, e.address.c_str(), &address.sin_addr) != 1)
            return Error(ErrorKind::kInvalid, role + " " + e.address + ": not an address");
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd)
            return Error::FromErrno(ErrorKind::kNetwork,
                                    std::string("cannot open a socket: ") + std::strerror(errno));
        const int on = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        const int bound = ::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        const int error = errno;
        fd.reset();
        const std::string name = role + " " + e.address + ":" + std::to_string(e.port);
        if (bound == 0)
            continue;
        if (error == EADDRINUSE) {
            busy.push_back(name + ": in use now (by the running service?)");
            continue;
        }
        return SystemError(ErrorKind::kNetwork, "cannot listen on " + name, error);
    }
    return Ok();
}

} // namespace publisher
