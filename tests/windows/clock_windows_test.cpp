#include "process/clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>
#include <windows.h>

namespace {

// The median of how long sleepNs(ns) takes, over several tries.
std::int64_t medianSleepNs(std::int64_t ns) {
    std::vector<std::int64_t> took;
    for (int i = 0; i < 15; ++i) {
        const std::int64_t start = monotonicNs();
        sleepNs(ns);
        took.push_back(monotonicNs() - start);
    }
    std::sort(took.begin(), took.end());
    return took[took.size() / 2];
}

TEST(WindowsClock, CountsNanosecondsOfRealTime) {
    std::int64_t previous = monotonicNs();
    for (int i = 0; i < 10000; ++i) {
        const std::int64_t now = monotonicNs();
        ASSERT_GE(now, previous);
        previous = now;
    }
    const std::int64_t start = monotonicNs();
    Sleep(200);
    const std::int64_t elapsed = monotonicNs() - start;
    EXPECT_GE(elapsed, 190 * kNsPerMs);
    EXPECT_LT(elapsed, 400 * kNsPerMs);
}

TEST(WindowsClock, ShortWaitsAreNotStretchedToASystemTick) {
    // With the default 15.6 ms ticks these would all take about one tick. The
    // bounds leave room for a busy machine, and still tell a tick apart.
    const std::int64_t threeMs = medianSleepNs(3 * kNsPerMs);
    EXPECT_GE(threeMs, 2 * kNsPerMs);
    EXPECT_LE(threeMs, 10 * kNsPerMs);
    const std::int64_t halfMs = medianSleepNs(kNsPerMs / 2);
    EXPECT_LT(halfMs, 8 * kNsPerMs);
}

} // namespace
