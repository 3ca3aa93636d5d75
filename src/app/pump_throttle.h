#pragma once

#include <chrono>
#include <cstdint>
#include <time.h>

namespace qm {

// Decides when a loop's call for event processing should really let events run: at most every
// few milliseconds, and cheaply in between. The precise clock costs more than a record's own
// work in the tightest loops; the coarse one is a read of memory the kernel keeps current, and
// its millisecond or so of grain is finer than the interval.
class PumpThrottle {
  public:
    explicit PumpThrottle(int intervalMs = 8)
        : intervalNs_(static_cast<std::int64_t>(intervalMs) * 1000000), last_(nowNs()) {}

    // True when events should run now.
    bool due() {
        const std::int64_t now = nowNs();
        if (now - last_ < intervalNs_)
            return false;
        last_ = now;
        return true;
    }

  private:
    static std::int64_t nowNs() {
#ifdef CLOCK_MONOTONIC_COARSE
        timespec ts{};
        if (clock_gettime(CLOCK_MONOTONIC_COARSE, &ts) == 0)
            return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
#endif
        return std::chrono::duration_cast<std::chrono::nanoseconds>(
                   std::chrono::steady_clock::now().time_since_epoch())
            .count();
    }

    std::int64_t intervalNs_;
    std::int64_t last_;
};

} // namespace qm
