// Key-to-line latency of rcdrive-sim end to end, with the benchmark's own
// measuring: keys typed into a pseudo-terminal, frames read from the trace.
// The bounds are loose enough for a busy two-core machine, yet a stream that
// lets keys queue behind the transmit buffer, or leaves the line idle, fails.
#include "bench/key_run.h"
#include "bench/line_trace.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace {

constexpr std::int64_t kMs = 1000000;

KeyRunResult drive(bool paced, int presses) {
    KeyRunSettings settings;
    settings.simPath = RCDRIVE_SIM_PATH;
    settings.paced = paced;
    settings.presses = presses;
    settings.seed = 11;
    const KeyRunResult result = runKeyPresses(settings);
    EXPECT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.latencyNs.size(), static_cast<std::size_t>(presses));
    return result;
}

// 40 keys paced: most within a frame and a byte or two, none stuck in a
// queue, the line kept busy, little CPU. (A line off the nominal rate is the
// pacer unit test's and the benchmark's: within a run this short a pacer off
// by 1000 ppm shows no more than one at the nominal rate.)
TEST(PacedLatencyE2E, KeysReachTheLineFastAndTheLineStaysBusy) {
    const KeyRunResult result = drive(true, 40);
    EXPECT_LE(percentile(result.latencyNs, 50), 40 * kMs);
    EXPECT_LE(percentile(result.latencyNs, 100), 120 * kMs);
    // The line may idle only as long as the machine kept the program from a
    // CPU: a pacer slower than the line, or a loop that sleeps too long, fails
    // on a quiet machine and a busy one alike.
    const double waited = std::max(0.0, result.cpuWaitFraction);
    EXPECT_GE(result.line.busyFraction + waited, 0.995)
        << "busy " << result.line.busyFraction << ", waited for a CPU " << waited;
    EXPECT_LE(result.line.busyFraction, 1.0 + 1e-9);
    // Sleeping, not spinning, between bytes: well under 2 % of a core when
    // quiet; the bound leaves room for a loaded machine.
    EXPECT_LE(result.cpuFraction, 0.05);
}

// The same measuring sees the full 128-byte buffer (over a second) when the
// writes are not paced.
TEST(PacedLatencyE2E, UnpacedKeysWaitBehindTheFullBuffer) {
    const KeyRunResult result = drive(false, 6);
    for (std::int64_t latency : result.latencyNs) {
        EXPECT_GT(latency, 500 * kMs);
    }
    EXPECT_GE(result.line.busyFraction, 0.999);
}

} // namespace
