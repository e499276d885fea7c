#include "drive/drive_state.h"
#include "drive/status_line.h"
#include "testkit/capture_output.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The nine rows are every pairing of these, written out here on their own:
// a code anywhere in a range reads as its word.
struct Range {
    int lowest, highest;
    const char* word;
};
const Range kSpeedRanges[] = {{161, 174, "Vpred"}, {145, 158, "Vzad"}, {128, 128, "Stuj"}};
const Range kSteerRanges[] = {{97, 110, "Vlevo"}, {81, 94, "Vpravo"}, {64, 64, "Nenatoceno"}};

const char* wordFor(const Range (&ranges)[3], int code) {
    for (const Range& range : ranges) {
        if (code >= range.lowest && code <= range.highest) {
            return range.word;
        }
    }
    return nullptr;
}

TEST(StatusText, EveryPairOfCodesByItsRow) {
    for (int speed = 0; speed < 256; ++speed) {
        for (int steer = 0; steer < 256; ++steer) {
            const char* speedWord = wordFor(kSpeedRanges, speed);
            const char* steerWord = wordFor(kSteerRanges, steer);
            const std::string expected = speedWord && steerWord ? std::string(" ") + speedWord +
                                                                      ": 3, " + steerWord + ": 12\n"
                                                                : "";
            ASSERT_EQ(statusText(speed, steer, 3, 12), expected) << speed << ", " << steer;
        }
    }
}

// The line for the state the keys left, after a clear; nothing after the
// clear for codes that match no row.
TEST(ShowStatus, ClearsThenWritesTheLineForTheKeysPressed) {
    for (const auto& [keys, line] : std::initializer_list<std::pair<const char*, const char*>>{
             {"", " Stuj: 0, Nenatoceno: 0\n"},
             {"HHHKK", " Vpred: 3, Vlevo: 2\n"},
             {"PPPPPPPPPMMMMMMMMM", " Vzad: 9, Vpravo: 9\n"},
             {"M", " Stuj: 0, Vpravo: 1\n"},
             {"HHHHHHHHHH", " Vpred: 9, Nenatoceno: 0\n"}, // a tenth Up: the same line
             {"PPPP", " Vzad: 4, Nenatoceno: 0\n"},        // the magnitude, never -4
         }) {
        driveState = DriveState{0, 0, 0, 0, 0x80, 0x40, 0};
        for (const char* key = keys; *key != '\0'; ++key) {
            applyKey(*key);
        }
        EXPECT_EQ(captureOutput(showStatus), std::string("\x1b[H\x1b[2J") + line) << keys;
    }
    driveState.speedCode = 0x70;
    EXPECT_EQ(captureOutput(showStatus), "\x1b[H\x1b[2J");
}

} // namespace
