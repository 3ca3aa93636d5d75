#include "paradox/swap_steps.h"

#include <atomic>

namespace qm::paradox {

namespace {

std::function<void(int)>& stepHook() {
    static std::function<void(int)> hook;
    return hook;
}
std::atomic<int> stepCounter{0};

} // namespace

void detail::swapStep() {
    int n = stepCounter++;
    if (stepHook())
        stepHook()(n);
}

namespace testhooks {
void setSwapStepHook(std::function<void(int)> hook) {
    stepHook() = std::move(hook);
    stepCounter = 0;
}
} // namespace testhooks

} // namespace qm::paradox
