#include "drive/drive_state.h"
#include "drive/status_line.h"
#include "testkit/capture_output.h"

#include <gtest/gtest.h>

namespace {

TEST(StatusText, TheRowsOfTheTable) {
    EXPECT_EQ(statusText(0x80, 0x40, 0, 0), " Stuj: 0, Nenatoceno: 0\n");
    EXPECT_EQ(statusText(0xA3, 0x62, 3, 2), " Vpred: 3, Vlevo: 2\n");
    EXPECT_EQ(statusText(0x99, 0x59, 9, 9), " Vzad: 9, Vpravo: 9\n");
    EXPECT_EQ(statusText(0x80, 0x51, 0, 1), " Stuj: 0, Vpravo: 1\n");
    EXPECT_EQ(statusText(0xA1, 0x40, 1, 0), " Vpred: 1, Nenatoceno: 0\n");
    EXPECT_EQ(statusText(0x94, 0x40, 4, 0), " Vzad: 4, Nenatoceno: 0\n");
    EXPECT_EQ(statusText(0x80, 0x69, 0, 9), " Stuj: 0, Vlevo: 9\n");
}

TEST(StatusText, TheWiderRangesCountByCode) {
    EXPECT_EQ(statusText(174, 110, 14, 14), " Vpred: 14, Vlevo: 14\n");
    EXPECT_EQ(statusText(158, 94, 14, 14), " Vzad: 14, Vpravo: 14\n");
    EXPECT_EQ(statusText(161, 97, 1, 1), " Vpred: 1, Vlevo: 1\n");
    EXPECT_EQ(statusText(145, 81, 1, 1), " Vzad: 1, Vpravo: 1\n");
}

TEST(StatusText, PairsOutsideEveryRowGiveNothing) {
    for (int speed : {0, 127, 129, 144, 159, 160, 175, 255}) {
        EXPECT_EQ(statusText(speed, 0x40, 0, 0), "") << speed;
    }
    for (int steer : {0, 63, 65, 80, 95, 96, 111, 255}) {
        EXPECT_EQ(statusText(0x80, steer, 0, 0), "") << steer;
    }
}

TEST(StatusText, MagnitudesArePrintedAsGiven) {
    // Reverse step 4 prints 4, never -4.
    driveState = DriveState{0, 0, 0, 0, 0x80, 0x40, 0};
    for (int i = 0; i < 4; ++i) {
        speedDown();
    }
    EXPECT_EQ(statusText(driveState.speedCode, driveState.steerCode, driveState.speedMagnitude,
                         driveState.steerMagnitude),
              " Vzad: 4, Nenatoceno: 0\n");
}

TEST(ShowStatus, ClearsThenWritesOneLine) {
    driveState = DriveState{0, 0, 0, 0, 0x80, 0x40, 0};
    std::string output = captureOutput([] { showStatus(); });
    EXPECT_EQ(output, "\x1b[H\x1b[2J Stuj: 0, Nenatoceno: 0\n");

    for (int i = 0; i < 10; ++i) {
        speedUp();
    }
    // A key at the limit still redraws the same line.
    EXPECT_EQ(captureOutput([] { showStatus(); }), captureOutput([] { showStatus(); }));

    driveState.speedCode = 0x70; // matches no row: the screen is left empty
    EXPECT_EQ(captureOutput([] { showStatus(); }), "\x1b[H\x1b[2J");
}

} // namespace
