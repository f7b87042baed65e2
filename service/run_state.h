// How a service client's run ends, and the lock that keeps a run from doing anything after its end.
//
// A run ends once: complete, or failed (a refused answer, a malformed message, a lost connection, a
// stop). From then on none of its messages is used, no file is written and nothing is posted but the
// one report of that end. Whatever a run still does (write a chunk, post a notification, fill the
// module list) is done while holding Lock(), so it either happens before the end or not at all.
//
// Threads: any. Under the lock only non-blocking work: a post, a file write; never a send to the
// interface thread or a close of the connection (those call out, and the caller may hold nothing).
#pragma once

#include <mutex>

class RunState {
  public:
    enum class Outcome { kNone, kComplete, kFailed };

    // The run's state while its lock is held.
    class Held {
      public:
        explicit Held(RunState& state) : state_(state), guard_(state.lock_) {}
        bool ended() const { return state_.ended_; }
        // Nothing more of the run is used; reports no outcome.
        void End() { state_.ended_ = true; }
        // Ends the run with `outcome`; true when it is the run's first outcome, which the caller then
        // reports (posting under the lock, or sending after it).
        bool Claim(Outcome outcome) {
            state_.ended_ = true;
            if (state_.outcome_ != Outcome::kNone)
                return false;
            state_.outcome_ = outcome;
            return true;
        }

      private:
        RunState& state_;
        std::lock_guard<std::mutex> guard_;
    };

    Held Lock() { return Held(*this); }
    bool Ended() const {
        std::lock_guard guard(lock_);
        return ended_;
    }
    // Ended other than by completing: what the interface still finds queued of the run is stale.
    bool Failed() const {
        std::lock_guard guard(lock_);
        return ended_ && outcome_ != Outcome::kComplete;
    }
    Outcome outcome() const {
        std::lock_guard guard(lock_);
        return outcome_;
    }

  private:
    mutable std::mutex lock_;
    bool ended_ = false;
    Outcome outcome_ = Outcome::kNone;
};
