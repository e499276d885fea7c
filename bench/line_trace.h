// Reads rcdrive-sim's trace back into what went onto the simulated line: the
// bytes with the moment each started, and the command frames they form. Also
// the arithmetic the benchmark reports: which frame answered a key, how busy
// the line was, percentiles.
//
// Pure logic over trace text; it reads no file and no clock itself.
#pragma once

#include "link/wire_format.h"
#include "trace/trace_format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct LineTrace {
    // The line as the program set it; 0 until the trace said.
    std::int64_t baud = 0;
    std::int64_t bitsPerByte = 0;
    bool configured = false; // a successful data line was seen

    std::vector<LineByte> bytes; // accepted writes after the data line
    std::vector<Frame> frames;   // frames, 3-byte aligned from the first write

    std::size_t failedWrites = 0;   // writes the device refused
    std::size_t badFrames = 0;      // three bytes that are no valid frame
    std::size_t malformedLines = 0; // complete lines that are not trace lines

    // Internal: the frame being collected and a line not yet complete.
    unsigned framePart[3] = {0, 0, 0};
    std::int64_t frameStartNs = 0;
    int frameFill = 0;
    bool frameHasFailedWrite = false;
    TraceReader reader;
};

// Feeds trace text as it arrives, in pieces of any size; only complete lines
// are taken, the rest waits for the next piece.
void traceFeed(LineTrace& trace, const char* text, std::size_t length);

// A key press: when its bytes went into the terminal, and the speed code the
// vehicle should get from it.
struct KeyPress {
    std::int64_t keyNs;
    unsigned speedCode;
};

constexpr std::size_t kNoFrame = static_cast<std::size_t>(-1);

// The frame that answers a press: the first one from index `from` on that
// starts at or after the key and carries its speed code; kNoFrame if none yet.
std::size_t answeringFrame(const std::vector<Frame>& frames, std::size_t from,
                           const KeyPress& press);

// Key-to-line latency of each press in order, each answered by a frame after
// the previous press's one (frames leave in order, so a queued frame from
// before an earlier press never answers a later press); -1 for a press no
// frame answered.
std::vector<std::int64_t> pressLatenciesNs(const std::vector<Frame>& frames,
                                           const std::vector<KeyPress>& presses);

// How the line was used by the bytes that started within [fromNs, toNs].
struct LineUse {
    std::size_t bytes = 0;
    double byteNs = 0;              // the line's actual byte time
    double busyFraction = 0;        // bytes x byte time / (last end - first start)
    double framesPerSecond = 0;     // bytes / 3 over the same span
    double lineFramesPerSecond = 0; // what the line carries when never idle
};

// rateErrorPpm: how much slower than its baud rate the line runs (negative:
// faster). Zero bytes, or an unconfigured line, give an all-zero result.
LineUse lineUse(const LineTrace& trace, std::int64_t fromNs, std::int64_t toNs,
                std::int64_t rateErrorPpm);

// Nearest-rank percentile (p in (0, 100]) of the values, in the values' unit;
// 0 for no values.
std::int64_t percentile(std::vector<std::int64_t> values, double p);
