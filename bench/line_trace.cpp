#include "bench/line_trace.h"

#include "link/d2xx.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// Splits a line at spaces.
std::vector<std::string> words(const std::string& line) {
    std::vector<std::string> result;
    std::size_t at = 0;
    while (at < line.size()) {
        const std::size_t end = std::min(line.find(' ', at), line.size());
        if (end > at) {
            result.push_back(line.substr(at, end - at));
        }
        at = end + 1;
    }
    return result;
}

// A whole number in the given base; false for anything else.
bool number(const std::string& text, int base, long long& value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, base);
    return errno == 0 && *end == '\0';
}

void restartFrames(LineTrace& trace) {
    trace.frameFill = 0;
    trace.frameHasFailedWrite = false;
}

void takeWrite(LineTrace& trace, std::int64_t t, unsigned value, bool accepted) {
    if (!trace.configured) {
        return; // before the line is set nothing belongs to the stream
    }
    if (accepted) {
        trace.bytes.push_back({t, value});
    } else {
        ++trace.failedWrites;
        trace.frameHasFailedWrite = true;
    }
    if (trace.frameFill == 0) {
        trace.frameStartNs = t;
    }
    trace.framePart[trace.frameFill++] = value;
    if (trace.frameFill < 3) {
        return;
    }
    // A frame with a byte that never reached the line is no frame on it.
    if (!trace.frameHasFailedWrite) {
        if (((trace.framePart[0] + trace.framePart[1]) & 0xFF) == trace.framePart[2]) {
            trace.frames.push_back({trace.frameStartNs, trace.framePart[0], trace.framePart[1]});
        } else {
            ++trace.badFrames;
        }
    }
    restartFrames(trace);
}

void takeLine(LineTrace& trace, const std::string& line) {
    const std::vector<std::string> parts = words(line);
    long long t = 0;
    long long status = 0;
    if (parts.size() < 3 || !number(parts[0], 10, t) || !number(parts.back(), 10, status)) {
        ++trace.malformedLines;
        return;
    }
    const std::string& kind = parts[1];
    if (kind == "baud") {
        long long baud = 0;
        if (parts.size() != 4 || !number(parts[2], 10, baud) || baud <= 0) {
            ++trace.malformedLines;
        } else if (status == FT_OK) {
            trace.baud = baud;
        }
    } else if (kind == "data") {
        long long word = 0;
        long long stop = 0;
        long long parity = 0;
        if (parts.size() != 6 || !number(parts[2], 10, word) || !number(parts[3], 10, stop) ||
            !number(parts[4], 10, parity)) {
            ++trace.malformedLines;
        } else if (status == FT_OK) {
            // Start bit, data bits, a parity bit if any, the stop bits.
            trace.bitsPerByte =
                1 + word + (parity != FT_PARITY_NONE ? 1 : 0) + (stop == FT_STOP_BITS_2 ? 2 : 1);
            trace.configured = true;
            restartFrames(trace); // a line set anew starts a fresh stream
        }
    } else if (kind == "write") {
        long long value = 0;
        if (parts.size() != 4 || parts[2].size() != 2 || !number(parts[2], 16, value) ||
            value < 0) {
            ++trace.malformedLines;
        } else {
            takeWrite(trace, t, static_cast<unsigned>(value), status == FT_OK);
        }
    }
}

} // namespace

void traceFeed(LineTrace& trace, const char* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        if (text[i] != '\n') {
            trace.partialLine.push_back(text[i]);
            continue;
        }
        takeLine(trace, trace.partialLine);
        trace.partialLine.clear();
    }
}

std::size_t answeringFrame(const std::vector<LineFrame>& frames, std::size_t from,
                           const KeyPress& press) {
    for (std::size_t i = from; i < frames.size(); ++i) {
        if (frames[i].startNs >= press.keyNs && frames[i].speedCode == press.speedCode) {
            return i;
        }
    }
    return kNoFrame;
}

std::vector<std::int64_t> pressLatenciesNs(const std::vector<LineFrame>& frames,
                                           const std::vector<KeyPress>& presses) {
    std::vector<std::int64_t> latencies;
    std::size_t from = 0;
    for (const KeyPress& press : presses) {
        const std::size_t at = answeringFrame(frames, from, press);
        if (at == kNoFrame) {
            latencies.push_back(-1);
            continue;
        }
        latencies.push_back(frames[at].startNs - press.keyNs);
        from = at + 1;
    }
    return latencies;
}

LineUse lineUse(const LineTrace& trace, std::int64_t fromNs, std::int64_t toNs,
                std::int64_t rateErrorPpm) {
    LineUse use;
    if (trace.baud <= 0 || trace.bitsPerByte <= 0) {
        return use;
    }
    std::int64_t firstNs = 0;
    std::int64_t lastNs = 0;
    for (const LineByte& byte : trace.bytes) {
        if (byte.startNs < fromNs || byte.startNs > toNs) {
            continue;
        }
        if (use.bytes == 0) {
            firstNs = byte.startNs;
        }
        lastNs = byte.startNs;
        ++use.bytes;
    }
    if (use.bytes == 0) {
        return use;
    }
    use.byteNs = 1e9 * static_cast<double>(trace.bitsPerByte) / static_cast<double>(trace.baud) *
                 (1.0 + static_cast<double>(rateErrorPpm) / 1e6);
    const double spanNs = static_cast<double>(lastNs - firstNs) + use.byteNs;
    const double count = static_cast<double>(use.bytes);
    use.busyFraction = count * use.byteNs / spanNs;
    use.framesPerSecond = count / 3.0 / (spanNs / 1e9);
    use.lineFramesPerSecond = 1e9 / (3.0 * use.byteNs);
    return use;
}

std::int64_t percentile(std::vector<std::int64_t> values, double p) {
    if (values.empty()) {
        return 0;
    }
    std::sort(values.begin(), values.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(values.size()));
    const std::size_t index =
        static_cast<std::size_t>(std::clamp(rank, 1.0, static_cast<double>(values.size()))) - 1;
    return values[index];
}
