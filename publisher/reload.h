// A reload (SIGHUP) off the accepting thread. Loading the new package and checking it (a signed
// package has every file hashed) and making its store of prepared messages run on a worker thread of
// the reload's own, so that accepting, probing and /metrics go on meanwhile; what the load made comes
// back to the accepting thread's io_context, which switches the server to it.
//
// Threads: the constructor, Request, Stop and the destructor on the io_context's thread, which is also
// where `begin` and `done` are called; `load` runs on the worker with no lock held. A request made
// while a reload runs is remembered, several as one, and runs once that reload is done, so a package
// copied in meanwhile is loaded too. Stop (and the destructor) sets the flag `load` is handed, which
// the hashing of a signed package reads between blocks, waits for the load to end and drops what it
// made; `done` is never called after Stop.
#pragma once

#include "core/result.h"
#include "publisher/package/package.h"
#include "publisher/prepared/prepared_files.h"

#include <asio/io_context.hpp>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace publisher {

// What a reload's load made: the package and its store.
struct ReloadedPackage {
    std::shared_ptr<const Package> package;
    std::shared_ptr<PreparedFiles> prepared;
};

class PackageReload {
  public:
    // As a reload begins: returns the store of the package served now, whose entries the new store
    // may share.
    using Begin = std::function<std::shared_ptr<PreparedFiles>()>;
    // A refused package is a failure saying why.
    using Load = std::function<Result<ReloadedPackage>(const std::shared_ptr<PreparedFiles>& previous,
                                                       const std::atomic<bool>& stopping)>;
    using Done = std::function<void(Result<ReloadedPackage> loaded)>;

    PackageReload(asio::io_context& io, Begin begin, Load load, Done done);
    ~PackageReload();
    PackageReload(const PackageReload&) = delete;
    PackageReload& operator=(const PackageReload&) = delete;

    // Starts a reload, or, while one runs, asks for one more after it.
    void Request();
    // Ends the worker once its load (if any) is over, and joins it. Idempotent.
    void Stop();

  private:
    void StartLoad();
    void Work();
    void Finished(Result<ReloadedPackage> loaded);

    asio::io_context& io_;
    Begin begin_;
    Load load_;
    Done done_;
    // The io_context's thread only.
    bool running_ = false;
    bool again_ = false;
    // Handlers posted back test it: none runs once the reload is gone.
    std::shared_ptr<const bool> alive_ = std::make_shared<const bool>(true);

    std::atomic<bool> stopping_{false}; // what a load may look at to end early
    std::mutex mutex_;                  // guards what the worker is asked
    std::condition_variable wake_;
    std::optional<std::shared_ptr<PreparedFiles>> job_; // a load to run, with the store to share with
    bool stop_ = false;
    std::thread worker_; // last: started once everything above exists
};

} // namespace publisher
