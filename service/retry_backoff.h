// The wait before an install's next attempt: about 1 s after the first attempt that failed, doubling
// with each further one in a row, never more than 30 s, each spread by about ±30 % so that installers
// cut off by the same outage do not all come back in the same second.
//
// Threads: one owner.
#pragma once

#include <chrono>
#include <functional>
#include <random>

class RetryBackoff {
  public:
    static constexpr std::chrono::milliseconds kFirst{1000};
    static constexpr std::chrono::milliseconds kLongest{30000};
    static constexpr double kSpread = 0.3;

    // spread() gives a value in [-1, 1] for each wait (tests pass a fixed one); without it, a uniform
    // random one.
    explicit RetryBackoff(std::function<double()> spread = {});

    // The wait after `failedInARow` (at least 1) attempts in a row failed.
    std::chrono::milliseconds Wait(int failedInARow);

  private:
    std::function<double()> spread_;
    std::mt19937 random_;
};
