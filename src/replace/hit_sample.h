#pragma once

// The hits of a run as a preview lists them: every hit is counted, the first ones are kept. A
// run with millions of hits keeps no more than the limit in memory. Filled from the run's own
// thread, read after it.

#include "replace/run_control.h"

#include <cstddef>
#include <mutex>
#include <vector>

namespace qm {

class HitSample {
  public:
    explicit HitSample(std::size_t limit = 10000) : limit_(limit) {}

    void add(const RunHit& hit) {
        std::lock_guard lock(mutex_);
        ++total_;
        if (!hit.refused.empty())
            ++refused_;
        if (kept_.size() < limit_)
            kept_.push_back(hit);
    }

    std::vector<RunHit> kept() const {
        std::lock_guard lock(mutex_);
        return kept_;
    }
    long long total() const {
        std::lock_guard lock(mutex_);
        return total_;
    }
    // Hits whose UPDATE was refused or was not needed (an earlier set changed the value).
    long long refused() const {
        std::lock_guard lock(mutex_);
        return refused_;
    }
    std::size_t limit() const { return limit_; }

  private:
    mutable std::mutex mutex_;
    std::size_t limit_;
    std::vector<RunHit> kept_;
    long long total_ = 0;
    long long refused_ = 0;
};

} // namespace qm
