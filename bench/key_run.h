// One measured drive: rcdrive-sim in a pseudo-terminal, arrow keys typed into
// it at random intervals, and from its trace how long each key took to reach
// the simulated line, how busy the line was, and the CPU the program used.
// Linux only: the CPU time comes from /proc.
#pragma once

#include "bench/line_trace.h"

#include <cstdint>
#include <string>
#include <vector>

struct KeyRunSettings {
    std::string simPath;           // the rcdrive-sim executable
    bool paced = true;             // false: rcdrive-sim --unpaced
    std::int64_t fifoBytes = 128;  // --fifo
    std::int64_t rateErrorPpm = 0; // --rate-error
    int presses = 300;
    int minGapMs = 60; // pause after a key's frame is out, before the next key
    int maxGapMs = 250;
    std::uint32_t seed = 1;
    int frameTimeoutMs = 5000; // a key whose frame takes longer fails the run
};

struct KeyRunResult {
    bool ok = false;
    std::string error;                   // why not, when not ok
    std::vector<std::int64_t> latencyNs; // one per press, in order
    std::vector<std::int64_t> pressAtNs; // each key's time since driving began
    LineUse line;                        // over the driving period
    double cpuFraction = 0;              // CPU time / wall time while driving
    // Time the program was ready to run but had no CPU, over wall time: what a
    // busy machine took from it. -1 where /proc does not tell.
    double cpuWaitFraction = -1;
    double drivingSeconds = 0;
};

// The keys alternate Up and Down, so that from rest every key changes the
// speed code: Up gives forward 1 (A1), Down stop (80). Each key waits for the
// frame that answers the previous one and then a random pause, so keys never
// queue behind each other in the program. Ends the program with q.
KeyRunResult runKeyPresses(const KeyRunSettings& settings);
