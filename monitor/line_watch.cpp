#include "monitor/line_watch.h"

#include "drive/status_text.h"
#include "link/wire_format.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr std::int64_t kSecondNs = 1000000000;
// Longer than bytes take to come through: the trace is looked at every 50 ms,
// a USB serial chip hands its bytes over every 16 ms.
constexpr std::int64_t kLatencyNs = 250000000;

std::string frameHex(const Frame& frame) {
    char text[16];
    std::snprintf(text, sizeof text, "%02X %02X %02X", frame.speed, frame.steer, frame.checksum);
    return text;
}

} // namespace

void watchByte(LineWatch& watch, const LineByte& byte) {
    Frame frame{};
    if (!pushByte(watch.decoder, byte, &frame)) {
        return;
    }
    watch.last = frame;
    watch.haveLast = true;
    watch.lastFrameT = byte.t;
    watch.frameTimes[watch.nextTime] = byte.t;
    watch.nextTime = (watch.nextTime + 1) % kRateWindowFrames;
    if (watch.timesKept < kRateWindowFrames) {
        ++watch.timesKept;
    }
}

int framesInLastSecond(const LineWatch& watch, std::int64_t end) {
    int count = 0;
    for (std::size_t i = 0; i < watch.timesKept; ++i) {
        const std::int64_t t = watch.frameTimes[i];
        count += t < end && t >= end - kSecondNs;
    }
    return count;
}

std::int64_t rateEnd(const LineWatch& watch, std::int64_t now, bool live) {
    return live ? now - kLatencyNs : watch.lastFrameT;
}

std::string summaryLine(const LineWatch& watch) {
    char text[96];
    std::snprintf(text, sizeof text, "frames %" PRIu64 ", invalid %" PRIu64 ", last ",
                  watch.decoder.frames, watch.decoder.skippedBytes);
    return text + (watch.haveLast ? frameHex(watch.last) : std::string("none"));
}

std::string commandLine(const LineWatch& watch) {
    if (!watch.haveLast) {
        return "no frame yet";
    }
    const Frame& f = watch.last;
    std::string words =
        statusText(f.speed, f.steer, codeMagnitude(f.speed), codeMagnitude(f.steer));
    if (!words.empty() && words.back() == '\n') {
        words.pop_back();
    }
    return words + "    " + frameHex(f);
}

std::string countsLine(const LineWatch& watch, std::int64_t rateEnd, std::int64_t silentNs) {
    char rate[48];
    if (silentNs >= kSecondNs) {
        std::snprintf(rate, sizeof rate, "writer gone, nothing for %" PRId64 " s",
                      silentNs / kSecondNs);
    } else {
        std::snprintf(rate, sizeof rate, "%d frames/s", framesInLastSecond(watch, rateEnd));
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "%s, frames %" PRIu64 ", skipped %" PRIu64 ", bad checksums %" PRIu64, rate,
                  watch.decoder.frames, watch.decoder.skippedBytes, watch.decoder.badChecksums);
    return text;
}
