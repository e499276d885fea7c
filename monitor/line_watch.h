// What the monitor has seen on the line so far: the frames decoded, the last
// one, and how many arrived in the last second.
#pragma once

#include "monitor/frame_decoder.h"

#include <cstdint>
#include <string>

// The times of the latest frames, for the rate. A line at 1200 baud carries
// at most 37 frames a second, so this holds well over a second of them.
constexpr std::size_t kRateWindowFrames = 128;

struct LineWatch {
    FrameDecoder decoder;
    Frame last{};
    bool haveLast = false;
    std::int64_t lastFrameT = 0;
    std::int64_t frameTimes[kRateWindowFrames] = {};
    std::size_t timesKept = 0;
    std::size_t nextTime = 0;
};

// One byte off the line, at time t (ns).
void watchByte(LineWatch& watch, const LineByte& byte);

// Frames whose time lies in the second before `end` (ns, same clock):
// end - 1 s <= t < end.
int framesInLastSecond(const LineWatch& watch, std::int64_t end);

// Where that second ends. For a trace read once, at its last frame. For a
// live source a little before now: bytes reach the monitor some tens of
// milliseconds after they were on the line, and a second that ended now
// would miss the latest of them.
std::int64_t rateEnd(const LineWatch& watch, std::int64_t now, bool live);

// "frames N, invalid M, last XX YY ZZ", M the bytes skipped (the summary's
// word for them, which scripts read); "last none" before any frame.
std::string summaryLine(const LineWatch& watch);

// The command in force, in the status line's words (" Vpred: 3, Vlevo: 2"),
// and the frame's bytes; "no frame yet" before the first.
std::string commandLine(const LineWatch& watch);

// Rate and counts: "36 frames/s, frames 1200, skipped 0, bad checksums 0".
// A running writer keeps a live line or a followed trace busy all the time
// (frames, or attempts to open the transmitter), so once nothing has come
// for a second (silentNs) the rate gives way to "writer gone, nothing for
// N s".
std::string countsLine(const LineWatch& watch, std::int64_t rateEnd, std::int64_t silentNs);
