#include "service/retry_backoff.h"

#include <algorithm>
#include <cstdint>

// The spread needs no secret randomness, only installers that differ: the clock and the object's place
// seed it. std::random_device is avoided on purpose: its hardware source may fail, and throw, on some
// processors, which would end the installer before its window shows.
RetryBackoff::RetryBackoff(std::function<double()> spread)
    : spread_(std::move(spread)),
      random_(uint32_t(std::chrono::steady_clock::now().time_since_epoch().count()) ^
              uint32_t(reinterpret_cast<uintptr_t>(this))) {}

std::chrono::milliseconds RetryBackoff::Wait(int failedInARow) {
    // Doubling stops well before the shift could overflow: 2^5 s is already past the longest wait.
    const int doublings = std::clamp(failedInARow - 1, 0, 10);
    const auto base = std::min(kLongest, kFirst * (int64_t(1) << doublings));
    double s = spread_ ? spread_() : std::uniform_real_distribution<double>(-1.0, 1.0)(random_);
    s = std::clamp(s, -1.0, 1.0);
    const auto spread = std::chrono::milliseconds(int64_t(double(base.count()) * kSpread * s));
    return std::min(kLongest, base + spread);
}
