#include "tests/publisher/log_stall.h"

#include "tests/publisher/installer_steps.h"
#include "tests/publisher/test_client.h"

#include <csignal>
#include <fcntl.h>
#include <future>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace publisher::testing {

LogPipe::LogPipe() {
    if (::pipe2(fds_, O_CLOEXEC) != 0) {
        fds_[0] = fds_[1] = -1;
        return;
    }
    capacity_ = ::fcntl(fds_[1], F_SETPIPE_SZ, 8192);
}

LogPipe::~LogPipe() {
    CloseReadEnd();
    CloseWriteEnd();
}

void LogPipe::CloseReadEnd() {
    if (fds_[0] >= 0)
        ::close(fds_[0]);
    fds_[0] = -1;
}

void LogPipe::CloseWriteEnd() {
    if (fds_[1] >= 0)
        ::close(fds_[1]);
    fds_[1] = -1;
}

int LogPipe::Buffered() const {
    int n = 0;
    return ::ioctl(fds_[0], FIONREAD, &n) == 0 ? n : -1;
}

bool FillLogPipe(const LogPipe& pipe, uint16_t checkPort, std::chrono::seconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    int last = -1;
    auto grew = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < until) {
        const int buffered = pipe.Buffered();
        if (buffered != last)
            grew = std::chrono::steady_clock::now();
        last = buffered;
        // Full: no room for a line, or a writer that waits for the reader (it stops at the last page)
        // while lines keep coming.
        if (buffered > pipe.Capacity() - 128 ||
            (buffered > pipe.Capacity() / 2 &&
             std::chrono::steady_clock::now() - grew > std::chrono::seconds(2)))
            return true;
        TestClient c;
        if (c.Connect(checkPort))
            c.Authenticate();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool InstallWithin(PublisherProcess& p, uint16_t checkPort, const std::filesystem::path& folder,
                   std::chrono::seconds limit) {
    auto install = std::async(std::launch::async, [&] { return Install(checkPort, folder); });
    if (install.wait_for(limit) == std::future_status::ready)
        return install.get();
    ::kill(p.pid(), SIGKILL); // its connections close, so the install returns
    install.wait();
    return false;
}

} // namespace publisher::testing
