#include "bench/line_trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

namespace {

constexpr std::int64_t kMs = 1000000;
// 1200 baud, 11 bits a byte, as rcdrive sets the line.
constexpr double kByteNs = 11e9 / 1200;

const std::string kHeader = "100 open \"dimsal\" 2 0\n200 baud 1200 0\n300 data 8 0 2 0\n";

std::string writeLine(std::int64_t t, unsigned byte, unsigned status = 0) {
    char line[64];
    std::snprintf(line, sizeof line, "%lld write %02X %u\n", static_cast<long long>(t), byte,
                  status);
    return line;
}

using FrameBytes = std::vector<unsigned>;
const FrameBytes kRest = {0x80, 0x40, 0xC0};
const FrameBytes kForward = {0xA1, 0x40, 0xE1};

// Frames back to back from t0, each byte one byte time after the one before.
std::string frames(std::int64_t t0, const std::vector<FrameBytes>& list, double byteNs = kByteNs) {
    std::string text;
    double t = static_cast<double>(t0);
    for (const FrameBytes& frame : list) {
        for (unsigned byte : frame) {
            text += writeLine(static_cast<std::int64_t>(t), byte);
            t += byteNs;
        }
    }
    return text;
}

LineTrace parse(const std::string& text) {
    LineTrace trace;
    traceFeed(trace, text.data(), text.size());
    return trace;
}

// A write before the line is set belongs to no frame; from the first write
// after it every three bytes are one, unless they are no valid frame or the
// device refused one of them. A line set anew starts the stream over.
TEST(LineTraceFrames, AreThreeBytesEachFromTheFirstWriteAfterTheDataLine) {
    std::string text = "50 write 80 0\n" + kHeader + frames(0, {kRest, {0x80, 0x40, 0xC1}}, kMs);
    text += writeLine(30 * kMs, 0xA1) + writeLine(40 * kMs, 0x40, 4) + writeLine(50 * kMs, 0xE1);
    text += frames(60 * kMs, {kForward}) + "nonsense\n70000000 write ZZ 0\n";
    text += writeLine(80 * kMs, 0xA1) + "85000000 data 8 0 2 0\n" + frames(90 * kMs, {kRest});
    const LineTrace trace = parse(text);
    EXPECT_EQ(trace.baud, 1200);
    EXPECT_EQ(trace.bitsPerByte, 11);
    EXPECT_EQ(trace.badFrames, 1u);
    EXPECT_EQ(trace.failedWrites, 1u);
    EXPECT_EQ(trace.malformedLines, 2u);
    EXPECT_EQ(trace.bytes.size(), 6u + 2u + 3u + 1u + 3u) << "refused bytes are not on the line";
    std::vector<std::tuple<std::int64_t, unsigned, unsigned>> found;
    for (const Frame& f : trace.frames) {
        found.emplace_back(f.t, f.speed, f.steer);
    }
    const decltype(found) expected = {
        {0, 0x80, 0x40}, {60 * kMs, 0xA1, 0x40}, {90 * kMs, 0x80, 0x40}};
    EXPECT_EQ(found, expected) << "the failed write's frame is not on the line";
    EXPECT_EQ(answeringFrame(trace.frames, 0, {0, 0xA1}), 1u);
}

TEST(PressLatency, EachKeyIsAnsweredByTheFirstLaterFrameWithItsCode) {
    const LineTrace trace =
        parse(kHeader + frames(0, {kRest, kRest, kForward, kForward, kRest, kRest, kForward}));
    ASSERT_EQ(trace.frames.size(), 7u);
    const auto at = [&](std::size_t frame) { return trace.frames[frame].t; };
    // Up just after frame 1 began; Down exactly as frame 4 began; a rest frame
    // that began before a key does not answer it; a key nothing answered.
    const std::vector<std::int64_t> expected = {at(2) - at(1) - 1, 0, at(6) - at(5) - 1, -1};
    EXPECT_EQ(
        pressLatenciesNs(trace.frames,
                         {{at(1) + 1, 0xA1}, {at(4), 0x80}, {at(5) + 1, 0xA1}, {at(6) + 1, 0xA1}}),
        expected);
}

TEST(PressLatency, KeysBehindAFullBufferAreNotAnsweredByOlderQueuedFrames) {
    // As unpaced: the line runs about a second behind the keys. Up at 0, Down
    // at 100 ms; the rest frames still queued from before Up start after the
    // Down key, yet Down is answered only by the rest frame after Up's frame.
    std::vector<FrameBytes> list(40, kRest);
    list.insert(list.end(), 3, kForward);
    list.insert(list.end(), 2, kRest);
    const LineTrace trace = parse(kHeader + frames(0, list));
    ASSERT_EQ(trace.frames.size(), 45u);
    const std::vector<std::int64_t> expected = {trace.frames[40].t, trace.frames[43].t - 100 * kMs};
    EXPECT_EQ(pressLatenciesNs(trace.frames, {{0, 0xA1}, {100 * kMs, 0x80}}), expected);
    EXPECT_GT(expected[1], 1000 * kMs) << "the line runs a second behind";
}

// Busy time over elapsed line time, at the line's own byte time.
TEST(LineUse, BusyTimeOverElapsedLineTimeAtTheLinesOwnByteTime) {
    const std::vector<FrameBytes> hundred(100, kRest);
    const double nominal = 1200.0 / 11 / 3; // frames a second on a full line
    // One idle byte time in ten bytes, and a byte outside the window.
    std::string gap = kHeader;
    for (int i = 0; i < 12; ++i) {
        const int byteTime = i < 5 ? i : i < 11 ? i + 1 : 60;
        gap += writeLine(static_cast<std::int64_t>(byteTime * kByteNs), 0x80);
    }
    struct Case {
        const char* what;
        std::string trace;
        std::int64_t toMs, ppm;
        std::size_t bytes;
        double busy, lineFramesPerSecond;
    };
    const Case cases[] = {
        {"back to back", kHeader + frames(0, hundred), 10000, 0, 300, 1.0, nominal},
        // Neither idle nor over 100 %.
        {"back to back on a line 1000 ppm slow", kHeader + frames(0, hundred, kByteNs * 1.001),
         10000, 1000, 300, 1.0, nominal / 1.001},
        {"paced 1500 ppm slower than the line", kHeader + frames(0, hundred, kByteNs * 1.0015),
         10000, 0, 300, 1 / 1.0015, nominal},
        {"one byte time idle", gap, static_cast<std::int64_t>(12 * kByteNs / kMs), 0, 11,
         11.0 / 12.0, nominal},
        {"9600 baud, 8N1",
         "0 baud 9600 0\n0 data 8 0 0 0\n" +
             frames(0, std::vector<FrameBytes>(10, kRest), 1e9 / 960),
         1000, 0, 30, 1.0, 320},
        {"nothing in the window", kHeader + frames(20000 * kMs, {kRest}), 10000, 0, 0, 0, 0},
        {"a line never set", frames(0, {kRest}), 1000, 0, 0, 0, 0},
    };
    for (const Case& c : cases) {
        const LineUse use = lineUse(parse(c.trace), 0, c.toMs * kMs, c.ppm);
        EXPECT_EQ(use.bytes, c.bytes) << c.what;
        EXPECT_NEAR(use.busyFraction, c.busy, 1e-5) << c.what;
        EXPECT_NEAR(use.lineFramesPerSecond, c.lineFramesPerSecond, 1e-3) << c.what;
        EXPECT_NEAR(use.framesPerSecond, c.busy * c.lineFramesPerSecond, 1e-3) << c.what;
    }
}

TEST(Percentile, IsTheNearestRank) {
    std::vector<std::int64_t> many(300); // 300 down to 1
    std::iota(many.rbegin(), many.rend(), 1);
    const std::vector<std::int64_t> hundred(many.end() - 100, many.end());
    const std::tuple<std::vector<std::int64_t>, double, std::int64_t> cases[] = {
        {hundred, 50, 50},      {hundred, 99, 99}, {hundred, 100, 100}, {{30, 10, 20}, 50, 20},
        {{30, 10, 20}, 99, 30}, {{7}, 1, 7},       {{}, 50, 0},         {many, 99, 297}};
    for (const auto& [values, p, expected] : cases) {
        EXPECT_EQ(percentile(values, p), expected) << values.size() << " values, p " << p;
    }
}

} // namespace
