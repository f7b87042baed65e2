#include "publisher/reload.h"

#include "publisher/ops/signals_held_back.h"

#include <asio/post.hpp>

namespace publisher {

PackageReload::PackageReload(asio::io_context& io, Begin begin, Load load, Done done)
    : io_(io), begin_(std::move(begin)), load_(std::move(load)), done_(std::move(done)) {
    const SignalsHeldBack heldBack; // the service's signals stay with the accepting thread
    worker_ = std::thread([this] { Work(); });
}

PackageReload::~PackageReload() {
    Stop();
}

void PackageReload::Request() {
    if (running_) {
        again_ = true;
        return;
    }
    StartLoad();
}

void PackageReload::StartLoad() {
    running_ = true;
    std::shared_ptr<PreparedFiles> previous = begin_();
    {
        std::lock_guard lock(mutex_);
        job_ = std::move(previous);
    }
    wake_.notify_one();
}

void PackageReload::Stop() {
    stopping_ = true;
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable())
        worker_.join();
    alive_.reset();
}

void PackageReload::Work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stop_ || job_; });
        if (stop_)
            return;
        std::shared_ptr<PreparedFiles> previous = std::move(*job_);
        job_.reset();
        lock.unlock();
        Result<ReloadedPackage> loaded = load_(previous, stopping_);
        previous.reset();
        lock.lock();
        if (stop_)
            return; // nobody switches to it any more
        // Posted under the lock: Stop, once it holds it, knows that nothing more will be.
        asio::post(io_,
                   [this, alive = std::weak_ptr<const bool>(alive_), loaded = std::move(loaded)]() mutable {
                       if (alive.lock())
                           Finished(std::move(loaded));
                   });
    }
}

void PackageReload::Finished(Result<ReloadedPackage> loaded) {
    running_ = false;
    done_(std::move(loaded));
    if (again_) {
        again_ = false;
        StartLoad();
    }
}

} // namespace publisher
