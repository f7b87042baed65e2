// Tests of the publisher under systemd's notify protocol and its ExecReload: what systemctl start,
// status and reload report is what the service did.
#include "tests/publisher/publisher_process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace publisher::testing;
namespace fs = std::filesystem;

namespace {

// The socket systemd would listen on for the service's notifications.
class NotifySocket {
  public:
    explicit NotifySocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.string().copy(address.sun_path, sizeof address.sun_path - 1);
        bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~NotifySocket() { ::close(fd_); }
    bool bound() const { return bound_; }
    // The next notification, or "" after 10 s without one.
    std::string Next() {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1)
            return "";
        char buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        return n > 0 ? std::string(buf, size_t(n)) : "";
    }

  private:
    int fd_;
    bool bound_ = false;
};

// Sets an environment variable for the processes the test starts, and restores it.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const std::string& value) : name_(name) { ::setenv(name, value.c_str(), 1); }
    ~ScopedEnv() { ::unsetenv(name_); }

  private:
    const char* name_;
};

} // namespace

// Tests that the service says READY with its package once it listens, RELOADING then READY around a
// reload, and that --reload (the unit's ExecReload) exits 0 for a package now served and 1 with the
// reason for a refused one, which leaves the old package served.
TEST(SystemdTest, ReadinessAndReloadOutcomesAreTruthful) {
    TempFolder package, work;
    WriteStandardPackage(package.path());
    fs::create_directory(work.path() / "run");
    NotifySocket notify(work.path() / "notify");
    ASSERT_TRUE(notify.bound());
    ScopedEnv socket("NOTIFY_SOCKET", (work.path() / "notify").string());
    ScopedEnv runtime("RUNTIME_DIRECTORY", (work.path() / "run").string());
    PublisherProcess p({"--package", package.path().string(), "--check", "127.0.0.1:0", "--download",
                        "127.0.0.1:0", "--log", (work.path() / "events.log").string()});
    ASSERT_TRUE(p.started());
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=serving package 000185 version 12.3: 3 modules, 3147749 bytes");

    const std::string pid = std::to_string(p.pid());
    RunResult good = RunPublisherToExit({"--reload", pid});
    EXPECT_EQ(good.status, 0) << good.out;
    EXPECT_NE(good.out.find("reloaded, now serving package 000185"), std::string::npos) << good.out;
    EXPECT_EQ(notify.Next().rfind("RELOADING=1\nSTATUS=reloading the package\nMONOTONIC_USEC=", 0), 0u);
    EXPECT_EQ(notify.Next(), "READY=1\nSTATUS=serving package 000185 version 12.3: 3 modules, 3147749 bytes");

    std::ofstream(package.path() / "package.json") << R"({"package": "000185", "version": )";
    RunResult refused = RunPublisherToExit({"--reload", pid});
    EXPECT_EQ(refused.status, 1) << refused.out;
    EXPECT_NE(refused.out.find("reload refused, still serving package 000185 version 12.3"),
              std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find("package.json"), std::string::npos) << refused.out;
    EXPECT_NE(notify.Next().find("RELOADING=1"), std::string::npos);
    EXPECT_EQ(
        notify.Next(),
        "READY=1\nSTATUS=serving package 000185 version 12.3: 3 modules, 3147749 bytes (the last reload "
        "was refused)");
    EXPECT_EQ(p.Stop(), 0);
    EXPECT_EQ(notify.Next(), "STOPPING=1\nSTATUS=stopping");
}

// Tests that --reload outside systemd, or for a process that is gone, fails at once with its reason.
TEST(SystemdTest, ReloadRequestsThatCannotWorkFail) {
    EXPECT_EQ(RunPublisherToExit({"--reload", "12345"}).status, 64);
    TempFolder run;
    ScopedEnv runtime("RUNTIME_DIRECTORY", run.path().string());
    pid_t gone = ::fork();
    if (gone == 0)
        ::_exit(0);
    ::waitpid(gone, nullptr, 0);
    EXPECT_EQ(RunPublisherToExit({"--reload", std::to_string(gone)}).status, 69);
    EXPECT_EQ(RunPublisherToExit({"--reload", "x"}).status, 64);
}
