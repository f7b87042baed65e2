#include "service/retry_backoff.h"

#include <algorithm>

RetryBackoff::RetryBackoff(std::function<double()> spread)
    : spread_(std::move(spread)), random_(std::random_device{}()) {}

std::chrono::milliseconds RetryBackoff::Wait(int failedInARow) {
    // Doubling stops well before the shift could overflow: 2^5 s is already past the longest wait.
    const int doublings = std::clamp(failedInARow - 1, 0, 10);
    const auto base = std::min(kLongest, kFirst * (int64_t(1) << doublings));
    double s = spread_ ? spread_() : std::uniform_real_distribution<double>(-1.0, 1.0)(random_);
    s = std::clamp(s, -1.0, 1.0);
    const auto spread = std::chrono::milliseconds(int64_t(double(base.count()) * kSpread * s));
    return std::min(kLongest, base + spread);
}
