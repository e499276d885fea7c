// The live view on a terminal: two lines, the command in force and the
// counts, redrawn in place a few times a second. Nothing is drawn when
// standard output is no terminal.
#pragma once

#include "monitor/line_watch.h"

#include <cstdint>

struct LiveView {
    bool active = false;
    std::int64_t nextDrawNs = 0;
};

// Turns the view on if standard output is a terminal.
void startLiveView(LiveView& view);

// Redraws if the last drawing is old enough. silentNs: how long no input
// has come (see countsLine).
void updateLiveView(LiveView& view, const LineWatch& watch, std::int64_t rateEnd,
                    std::int64_t silentNs, std::int64_t now);

// Draws the final state and leaves the cursor on a fresh line below it.
void endLiveView(LiveView& view, const LineWatch& watch, std::int64_t rateEnd,
                 std::int64_t silentNs);
