#include "app/pump_throttle.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace qm::test {
namespace {

using namespace std::chrono_literals;

// Calls in a tight loop: events run about every interval, neither on every call nor rarely.
TEST(PumpThrottle, TightLoopPumpsAboutEveryInterval) {
    PumpThrottle pump(8);
    const auto start = std::chrono::steady_clock::now();
    int dues = 0;
    long calls = 0;
    while (std::chrono::steady_clock::now() - start < 200ms) {
        ++calls;
        if (pump.due())
            ++dues;
    }
    EXPECT_GE(dues, 8); // a loaded machine may hold the loop back now and then
    EXPECT_LE(dues, 26);
    EXPECT_GT(calls, 100 * dues);
}

// Calls further apart than the interval are each pumped: a slow loop never waits for events.
TEST(PumpThrottle, SlowCallsAreEachPumped) {
    PumpThrottle pump(8);
    int dues = 0;
    for (int i = 0; i < 20; ++i) {
        std::this_thread::sleep_for(20ms);
        if (pump.due())
            ++dues;
    }
    EXPECT_EQ(dues, 20);
}

TEST(PumpThrottle, NoPumpBeforeTheInterval) {
    PumpThrottle pump(1000);
    for (int i = 0; i < 100000; ++i)
        ASSERT_FALSE(pump.due());
}

} // namespace
} // namespace qm::test
