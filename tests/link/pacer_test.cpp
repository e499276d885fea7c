#include "link/pacer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

namespace {

// A device at the far end of the writes: a transmit buffer draining onto a
// line whose byte time is off nominal by ppm. A write into a full buffer waits.
struct SimulatedLine {
    double byteNs;
    double fifoBytes;
    double lineFreeNs = 0;
    double busyNs = 0;
    double firstStartNs = -1;
    double queuedAhead = 0; // bytes waiting before the last one handed over

    // Hands over a byte at t; returns when the write call returns.
    double write(double t) {
        t = std::max(t, lineFreeNs - (fifoBytes - 1) * byteNs);
        queuedAhead = std::max(0.0, lineFreeNs - t) / byteNs;
        const double start = std::max(lineFreeNs, t);
        if (firstStartNs < 0) {
            firstStartNs = start;
        }
        lineFreeNs = start + byteNs;
        busyNs += byteNs;
        return t;
    }
};

struct RunResult {
    double utilisation;
    double maxQueuedFirstHour;
    double maxQueuedLastHour;
    double clearEstimateEarlyNs; // the most the pacer's line-clear time came before the line's
};

// Drives the pacer for ten simulated hours with a process that wakes up late
// by up to 300 us, as a loaded machine does.
RunResult run(double ppm) {
    SimulatedLine line{static_cast<double>(kNominalByteNs) * (1 + ppm / 1e6), 128};
    Pacer pacer;
    std::mt19937 random(7);
    std::uniform_real_distribution<double> jitter(0, 300e3);
    const double hour = 3600e9;
    const double start = 1e9;
    RunResult result{0, 0, 0, 0};
    for (double t = start; t < start + 10 * hour; t += 2e3) { // 2 us: the rest of the loop
        t += static_cast<double>(pacerWaitNs(pacer, static_cast<std::int64_t>(t)));
        t = line.write(t + jitter(random));
        pacerWrote(pacer, static_cast<std::int64_t>(t));
        result.clearEstimateEarlyNs =
            std::max(result.clearEstimateEarlyNs,
                     line.lineFreeNs - static_cast<double>(pacerLineClearNs(pacer)));
        if (t < start + hour) {
            result.maxQueuedFirstHour = std::max(result.maxQueuedFirstHour, line.queuedAhead);
        } else if (t > start + 9 * hour) {
            result.maxQueuedLastHour = std::max(result.maxQueuedLastHour, line.queuedAhead);
        }
    }
    result.utilisation = line.busyNs / (line.lineFreeNs - line.firstStartNs);
    return result;
}

// From a line 1000 ppm fast to a chip 2500 ppm slow, as slow as a USB
// full-speed device's clock may be: the line stays busy, and once the
// margin has worn the first lead away, no backlog ever builds up again: a
// byte starts on the line as it is handed over. The pacer's reckoning of
// when the line is clear, which the close waits for, is never early.
TEST(Pacer, TenHoursAcrossTheRateToleranceStayFullAndShort) {
    for (double ppm : {2500.0, 1000.0, -1000.0, 0.0}) {
        const RunResult result = run(ppm);
        EXPECT_GE(result.utilisation, 0.995) << ppm;
        EXPECT_LE(result.maxQueuedFirstHour, 2.5) << ppm;
        EXPECT_LE(result.maxQueuedLastHour, 0.05) << ppm;
        EXPECT_LE(result.clearEstimateEarlyNs, 1.0) << ppm;
    }
}

// No wait is longer than a byte time, and after a stall no burst follows:
// only the lead is refilled, not the 300 bytes the line could have sent.
TEST(Pacer, WaitsAtMostAByteTimeAndNoBurstAfterAStall) {
    Pacer pacer;
    std::int64_t t = 0;
    for (int i = 0; i < 50; ++i) {
        const std::int64_t wait = pacerWaitNs(pacer, t);
        EXPECT_LE(wait, kPacedByteNs);
        t += wait;
        pacerWrote(pacer, t);
    }
    t += 3000 * 1000000LL; // stopped for three seconds
    int immediate = 0;
    while (pacerWaitNs(pacer, t) == 0 && immediate < 1000) {
        pacerWrote(pacer, t);
        ++immediate;
    }
    EXPECT_LE(immediate, 2);
    EXPECT_GE(immediate, 1);
}

} // namespace
