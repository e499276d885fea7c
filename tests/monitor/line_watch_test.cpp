// What the monitor makes of the frames: the rate, the words and the summary.
#include "monitor/line_watch.h"

#include <gtest/gtest.h>

namespace {

constexpr std::int64_t kMs = 1000000;

// Frames at the line's own pace: 33 bit times (3 bytes of 11 bits) at 1200 baud.
constexpr std::int64_t kFrameNs = 33 * 1000000000LL / 1200;

void sendFrames(LineWatch& watch, std::int64_t from, int count, unsigned speed, unsigned steer) {
    for (int i = 0; i < count; ++i) {
        const std::int64_t t = from + i * kFrameNs;
        for (unsigned byte : {speed, steer, (speed + steer) & 0xFF}) {
            watchByte(watch, LineByte{t, static_cast<std::uint8_t>(byte)});
        }
    }
}

TEST(LineWatch, RateIsTheLinesOwn) {
    LineWatch watch;
    const std::int64_t start = 5000 * kMs;
    sendFrames(watch, start, 200, 0x80, 0x40);
    const std::int64_t last = watch.lastFrameT;
    // A trace read at once: the second before its last frame.
    EXPECT_EQ(framesInLastSecond(watch, rateEnd(watch, 0, false)), 36);
    // Live, bytes arriving a little late: still the whole rate.
    for (std::int64_t late : {0 * kMs, 60 * kMs, 200 * kMs}) {
        const int rate = framesInLastSecond(watch, rateEnd(watch, last + late, true));
        EXPECT_TRUE(rate == 36 || rate == 37) << rate << " at " << late / kMs << " ms late";
    }
    // The line has fallen silent.
    EXPECT_EQ(framesInLastSecond(watch, rateEnd(watch, last + 1300 * kMs, true)), 0);
}

TEST(LineWatch, WordsBytesAndSummary) {
    LineWatch watch;
    EXPECT_EQ(commandLine(watch), "no frame yet");
    EXPECT_EQ(summaryLine(watch), "frames 0, invalid 0, last none");
    watchByte(watch, LineByte{0, 0x55}); // noise
    sendFrames(watch, 0, 2, 0x93, 0x62);
    EXPECT_EQ(commandLine(watch), " Vzad: 3, Vlevo: 2    93 62 F5");
    EXPECT_EQ(summaryLine(watch), "frames 2, invalid 1, last 93 62 F5");
    sendFrames(watch, kFrameNs * 2, 1, 0xA9, 0x59);
    EXPECT_EQ(commandLine(watch), " Vpred: 9, Vpravo: 9    A9 59 02");
    EXPECT_EQ(countsLine(watch, kFrameNs * 3, 999 * kMs),
              "3 frames/s, frames 3, skipped 1, bad checksums 0");
    EXPECT_EQ(countsLine(watch, kFrameNs * 3, 2500 * kMs),
              "writer gone, nothing for 2 s, frames 3, skipped 1, bad checksums 0");
}

} // namespace
