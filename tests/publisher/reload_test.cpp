// Tests that a reload loads on its own worker while the io_context's thread goes on, that SIGHUPs
// arriving meanwhile make one more reload after it, and that stopping waits for a load and drops it.
#include "publisher/reload.h"

#include <gtest/gtest.h>

#include <asio.hpp>

#include <atomic>
#include <future>
#include <thread>

using namespace publisher;

namespace {

// A load that waits until the test lets it end.
struct HeldLoads {
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    int released = 0;

    Result<ReloadedPackage> Load() {
        std::unique_lock lock(mutex);
        const int mine = ++started;
        changed.notify_all();
        changed.wait(lock, [&] { return released >= mine; });
        return Error(ErrorKind::kInvalid, "load " + std::to_string(mine));
    }
    void WaitStarted(int n) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return started >= n; });
    }
    void Release() {
        std::lock_guard lock(mutex);
        ++released;
        changed.notify_all();
    }
};

} // namespace

TEST(PackageReloadTest, RequestsDuringALoadMakeOneMoreLoadAfterIt) {
    asio::io_context io(1);
    auto work = asio::make_work_guard(io);
    HeldLoads loads;
    int begun = 0;
    std::vector<std::string> done;
    PackageReload reload(
        io,
        [&] {
            ++begun;
            return std::shared_ptr<PreparedFiles>();
        },
        [&](const auto&, const auto&) { return loads.Load(); },
        [&](Result<ReloadedPackage> loaded) {
            done.push_back(loaded.error().message());
            if (done.size() == 2)
                work.reset();
        });
    asio::post(io, [&] { reload.Request(); });
    io.run_one();
    loads.WaitStarted(1);
    // The io_context's thread is free during the load: three more SIGHUPs, one more reload.
    for (int i = 0; i < 3; ++i)
        asio::post(io, [&] { reload.Request(); });
    for (int i = 0; i < 3; ++i)
        io.run_one();
    EXPECT_EQ(begun, 1);
    loads.Release();
    loads.Release(); // the one more, not begun before the first is done
    io.run();
    EXPECT_EQ(begun, 2);
    EXPECT_EQ(done, (std::vector<std::string>{"load 1", "load 2"}));
}

TEST(PackageReloadTest, StopWaitsForTheLoadAndDropsIt) {
    asio::io_context io(1);
    HeldLoads loads;
    bool called = false;
    PackageReload reload(
        io, [] { return nullptr; }, [&](const auto&, const auto&) { return loads.Load(); },
        [&](Result<ReloadedPackage>) { called = true; });
    reload.Request();
    loads.WaitStarted(1);
    auto stopped = std::async(std::launch::async, [&] { reload.Stop(); });
    EXPECT_EQ(stopped.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    loads.Release();
    stopped.get();
    io.run();
    EXPECT_FALSE(called);
}
