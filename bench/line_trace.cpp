#include "bench/line_trace.h"

#include "link/d2xx.h"

#include <algorithm>
#include <cmath>

namespace {

void restartFrames(LineTrace& trace) {
    trace.frameFill = 0;
    trace.frameHasFailedWrite = false;
}

void takeWrite(LineTrace& trace, std::int64_t t, std::uint8_t value, bool accepted) {
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
        const unsigned* part = trace.framePart;
        if (isValidFrame(part[0], part[1], part[2])) {
            trace.frames.push_back(Frame{trace.frameStartNs, static_cast<std::uint8_t>(part[0]),
                                         static_cast<std::uint8_t>(part[1]),
                                         static_cast<std::uint8_t>(part[2])});
        } else {
            ++trace.badFrames;
        }
    }
    restartFrames(trace);
}

void takeRecord(LineTrace& trace, const TraceRecord& record) {
    const bool ok = record.status == FT_OK;
    switch (record.kind) {
    case TraceKind::Baud:
        if (ok) {
            trace.baud = record.values[0];
        }
        break;
    case TraceKind::Data:
        if (ok) {
            // Start bit, data bits, a parity bit if any, the stop bits.
            trace.bitsPerByte = 1 + record.values[0] +
                                (record.values[2] != FT_PARITY_NONE ? 1 : 0) +
                                (record.values[1] == FT_STOP_BITS_2 ? 2 : 1);
            trace.configured = true;
            restartFrames(trace); // a line set anew starts a fresh stream
        }
        break;
    case TraceKind::Write:
        takeWrite(trace, record.t, static_cast<std::uint8_t>(record.values[0]), ok);
        break;
    default:
        break;
    }
}

} // namespace

void traceFeed(LineTrace& trace, const char* text, std::size_t length) {
    std::vector<TraceRecord> records;
    readTraceText(trace.reader, text, length, records);
    for (const TraceRecord& record : records) {
        takeRecord(trace, record);
    }
    trace.malformedLines = trace.reader.malformed;
}

std::size_t answeringFrame(const std::vector<Frame>& frames, std::size_t from,
                           const KeyPress& press) {
    for (std::size_t i = from; i < frames.size(); ++i) {
        if (frames[i].t >= press.keyNs && frames[i].speed == press.speedCode) {
            return i;
        }
    }
    return kNoFrame;
}

std::vector<std::int64_t> pressLatenciesNs(const std::vector<Frame>& frames,
                                           const std::vector<KeyPress>& presses) {
    std::vector<std::int64_t> latencies;
    std::size_t from = 0;
    for (const KeyPress& press : presses) {
        const std::size_t at = answeringFrame(frames, from, press);
        if (at == kNoFrame) {
            latencies.push_back(-1);
            continue;
        }
        latencies.push_back(frames[at].t - press.keyNs);
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
        if (byte.t < fromNs || byte.t > toNs) {
            continue;
        }
        if (use.bytes == 0) {
            firstNs = byte.t;
        }
        lastNs = byte.t;
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
