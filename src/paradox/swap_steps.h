#pragma once

// The numbered steps of a family swap, for the kill tests to stop the process at each of them.

#include <functional>

namespace qm::paradox {

namespace testhooks {
// Called with a running number after every step that changes a file or a name, so that tests
// can stop the process at each of them.
void setSwapStepHook(std::function<void(int)> hook);
} // namespace testhooks

namespace detail {
// Marks a step of the swap (testhooks::setSwapStepHook).
void swapStep();
} // namespace detail

} // namespace qm::paradox
