#include "drive/drive_state.h"
#include "drive/status_line.h"
#include "testkit/capture_output.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>

namespace {

// Each row at both ends of its ranges, and codes just outside them.
TEST(StatusText, EachRowByTheRangesOfItsCodes) {
    for (const auto& [speed, steer, line] :
         std::initializer_list<std::tuple<int, int, const char*>>{
             {161, 97, " Vpred: 3, Vlevo: 12\n"},
             {174, 110, " Vpred: 3, Vlevo: 12\n"},
             {161, 81, " Vpred: 3, Vpravo: 12\n"},
             {174, 94, " Vpred: 3, Vpravo: 12\n"},
             {145, 81, " Vzad: 3, Vpravo: 12\n"},
             {158, 94, " Vzad: 3, Vpravo: 12\n"},
             {145, 97, " Vzad: 3, Vlevo: 12\n"},
             {158, 110, " Vzad: 3, Vlevo: 12\n"},
             {128, 97, " Stuj: 3, Vlevo: 12\n"},
             {128, 81, " Stuj: 3, Vpravo: 12\n"},
             {161, 64, " Vpred: 3, Nenatoceno: 12\n"},
             {174, 64, " Vpred: 3, Nenatoceno: 12\n"},
             {145, 64, " Vzad: 3, Nenatoceno: 12\n"},
             {158, 64, " Vzad: 3, Nenatoceno: 12\n"},
             {128, 64, " Stuj: 3, Nenatoceno: 12\n"}}) {
        EXPECT_EQ(statusText(speed, steer, 3, 12), line) << speed << ", " << steer;
    }
    for (int code : {160, 175, 144, 159, 127, 129, 0, 255}) {
        EXPECT_EQ(statusText(code, 64, 3, 12), "") << code;
    }
    for (int code : {96, 111, 80, 95, 63, 65, 0, 255}) {
        EXPECT_EQ(statusText(128, code, 3, 12), "") << code;
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
