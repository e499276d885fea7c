#include "bench/line_trace.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

constexpr std::int64_t kMs = 1000000;
// 1200 baud, 11 bits a byte, as rcdrive sets the line.
constexpr double kByteNs = 11e9 / 1200;

const std::string kHeader = "100 open \"dimsal\" 2 0\n"
                            "200 baud 1200 0\n"
                            "300 data 8 0 2 0\n";

std::string writeLine(std::int64_t t, unsigned byte, unsigned status = 0) {
    char line[64];
    std::snprintf(line, sizeof line, "%lld write %02X %u\n", static_cast<long long>(t), byte,
                  status);
    return line;
}

// Frames back to back from t0, each byte one byte time after the one before.
std::string frames(std::int64_t t0, const std::vector<std::vector<unsigned>>& list,
                   double byteNs = kByteNs) {
    std::string text;
    double t = static_cast<double>(t0);
    for (const std::vector<unsigned>& frame : list) {
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

const std::vector<unsigned> kRest = {0x80, 0x40, 0xC0};
const std::vector<unsigned> kForward = {0xA1, 0x40, 0xE1};

TEST(LineTraceFrames, AreAlignedFromTheFirstWriteAfterTheDataLine) {
    // A write before the line is set belongs to no frame; from the first
    // write after it, every three bytes are one.
    const std::string text =
        "50 write 80 0\n" + kHeader + frames(1000 * kMs, {kRest, kRest, kForward});
    const LineTrace trace = parse(text);
    EXPECT_EQ(trace.baud, 1200);
    EXPECT_EQ(trace.bitsPerByte, 11);
    EXPECT_EQ(trace.bytes.size(), 9u);
    ASSERT_EQ(trace.frames.size(), 3u);
    EXPECT_EQ(trace.badFrames, 0u);
    EXPECT_EQ(trace.frames[2].speed, 0xA1u);
    EXPECT_EQ(trace.frames[2].steer, 0x40u);
    EXPECT_NEAR(static_cast<double>(trace.frames[2].t), 1000 * kMs + 6 * kByteNs, 2);
    EXPECT_EQ(answeringFrame(trace.frames, 0, {0, 0xA1}), 2u);
}

TEST(LineTraceFrames, BadChecksumsFailedWritesAndAFreshLineAreAccountedFor) {
    std::string text = kHeader;
    text += frames(0, {{0x80, 0x40, 0xC1}}); // wrong checksum
    text += writeLine(30 * kMs, 0xA1) + writeLine(40 * kMs, 0x40, 4) + writeLine(50 * kMs, 0xE1);
    text += frames(60 * kMs, {kForward});
    text += "nonsense\n70000000 write ZZ 0\n";
    // Half a frame, then the line is set anew: the stream starts over.
    text += writeLine(80 * kMs, 0xA1);
    text += "85000000 data 8 0 2 0\n";
    text += frames(90 * kMs, {kRest});
    const LineTrace trace = parse(text);
    EXPECT_EQ(trace.badFrames, 1u);
    EXPECT_EQ(trace.failedWrites, 1u);
    EXPECT_EQ(trace.malformedLines, 2u);
    ASSERT_EQ(trace.frames.size(), 2u) << "the failed write's frame is not on the line";
    EXPECT_EQ(trace.frames[0].t, 60 * kMs);
    EXPECT_EQ(trace.frames[0].speed, 0xA1u);
    EXPECT_EQ(trace.frames[1].t, 90 * kMs);
    EXPECT_EQ(trace.frames[1].speed, 0x80u);
    EXPECT_EQ(trace.bytes.size(), 3u + 2u + 3u + 1u + 3u) << "refused bytes are not on the line";
}

TEST(PressLatency, EachKeyIsAnsweredByTheFirstLaterFrameWithItsCode) {
    const LineTrace trace =
        parse(kHeader + frames(0, {kRest, kRest, kForward, kForward, kRest, kRest, kForward}));
    const auto at = [&](std::size_t frame) { return trace.frames[frame].t; };
    // Up just after frame 1 began; Down exactly as frame 4 began; a rest frame
    // that began before a key does not answer it.
    std::vector<std::int64_t> latencies =
        pressLatenciesNs(trace.frames, {{at(1) + 1, 0xA1}, {at(4), 0x80}, {at(5) + 1, 0xA1}});
    ASSERT_EQ(latencies.size(), 3u);
    EXPECT_EQ(latencies[0], at(2) - at(1) - 1);
    EXPECT_EQ(latencies[1], 0);
    EXPECT_EQ(latencies[2], at(6) - at(5) - 1);
    // A key nothing answered.
    latencies = pressLatenciesNs(trace.frames, {{at(6) + 1, 0xA1}});
    EXPECT_EQ(latencies, std::vector<std::int64_t>{-1});
}

TEST(PressLatency, KeysBehindAFullBufferAreNotAnsweredByOlderQueuedFrames) {
    // As unpaced: the line runs about a second behind the keys. Up at 0, Down
    // at 100 ms; the rest frames still queued from before Up start after the
    // Down key, yet Down is answered only by the rest frame after Up's frame.
    std::vector<std::vector<unsigned>> list(40, kRest);
    list.insert(list.end(), 3, kForward);
    list.insert(list.end(), 2, kRest);
    const LineTrace trace = parse(kHeader + frames(0, list));
    const std::vector<std::int64_t> latencies =
        pressLatenciesNs(trace.frames, {{0, 0xA1}, {100 * kMs, 0x80}});
    ASSERT_EQ(latencies.size(), 2u);
    EXPECT_EQ(latencies[0], trace.frames[40].t);
    EXPECT_EQ(latencies[1], trace.frames[43].t - 100 * kMs);
    EXPECT_GT(latencies[1], 1000 * kMs);
}

TEST(LineUse, BusyTimeOverElapsedLineTimeAtTheLinesOwnByteTime) {
    // Back to back at the nominal rate: the line is full, 36.36 frames a second.
    LineTrace full = parse(kHeader + frames(0, std::vector<std::vector<unsigned>>(100, kRest)));
    LineUse use = lineUse(full, 0, 10000 * kMs, 0);
    EXPECT_EQ(use.bytes, 300u);
    EXPECT_NEAR(use.busyFraction, 1.0, 1e-6);
    EXPECT_NEAR(use.framesPerSecond, 1200.0 / 11 / 3, 1e-3);
    EXPECT_NEAR(use.lineFramesPerSecond, 1200.0 / 11 / 3, 1e-3);

    // A line 1000 ppm slow, back to back at its own byte time, is full too:
    // the slower rate is not counted as idle, and not as over 100 % either.
    const double slowByteNs = kByteNs * 1.001;
    LineTrace slow =
        parse(kHeader + frames(0, std::vector<std::vector<unsigned>>(100, kRest), slowByteNs));
    use = lineUse(slow, 0, 10000 * kMs, 1000);
    EXPECT_NEAR(use.busyFraction, 1.0, 1e-6);
    EXPECT_NEAR(use.lineFramesPerSecond, 1200.0 / 11 / 3 / 1.001, 1e-3);

    // Paced 1500 ppm slower than the line: 1 / 1.0015 busy.
    LineTrace paced = parse(
        kHeader + frames(0, std::vector<std::vector<unsigned>>(100, kRest), kByteNs * 1.0015));
    EXPECT_NEAR(lineUse(paced, 0, 10000 * kMs, 0).busyFraction, 1 / 1.0015, 1e-5);

    // One idle byte time in ten bytes, and bytes outside the window ignored.
    std::string text = kHeader;
    for (int i = 0; i < 11; ++i) {
        text += writeLine(static_cast<std::int64_t>((i < 5 ? i : i + 1) * kByteNs), 0x80);
    }
    text += writeLine(static_cast<std::int64_t>(60 * kByteNs), 0x80);
    const LineTrace gap = parse(text);
    use = lineUse(gap, 0, static_cast<std::int64_t>(12 * kByteNs), 0);
    EXPECT_EQ(use.bytes, 11u);
    EXPECT_NEAR(use.busyFraction, 11.0 / 12.0, 1e-6);

    // The byte time follows the line as the program set it: 9600 baud, 8N1.
    LineTrace fast = parse("0 baud 9600 0\n0 data 8 0 0 0\n" +
                           frames(0, std::vector<std::vector<unsigned>>(10, kRest), 1e9 / 960));
    use = lineUse(fast, 0, 1000 * kMs, 0);
    EXPECT_NEAR(use.byteNs, 1e9 / 960, 1e-3);
    EXPECT_NEAR(use.busyFraction, 1.0, 1e-6);

    // Nothing to measure.
    EXPECT_EQ(lineUse(full, 20000 * kMs, 30000 * kMs, 0).bytes, 0u);
    EXPECT_EQ(lineUse(parse(frames(0, {kRest})), 0, 1000 * kMs, 0).busyFraction, 0.0);
}

TEST(Percentile, IsTheNearestRank) {
    std::vector<std::int64_t> hundred;
    for (int i = 100; i >= 1; --i) {
        hundred.push_back(i);
    }
    EXPECT_EQ(percentile(hundred, 50), 50);
    EXPECT_EQ(percentile(hundred, 99), 99);
    EXPECT_EQ(percentile(hundred, 100), 100);
    std::vector<std::int64_t> three = {30, 10, 20};
    EXPECT_EQ(percentile(three, 50), 20);
    EXPECT_EQ(percentile(three, 99), 30);
    EXPECT_EQ(percentile({7}, 1), 7);
    EXPECT_EQ(percentile({}, 50), 0);
    std::vector<std::int64_t> many(300);
    for (int i = 0; i < 300; ++i) {
        many[static_cast<std::size_t>(i)] = i + 1;
    }
    EXPECT_EQ(percentile(many, 99), 297);
}

} // namespace
