#include "drive/drive_state.h"
#include "drive/status_line.h"
#include "testkit/capture_output.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>

namespace {

void atRest() {
    driveState = DriveState{0, 0, 0, 0, 0x80, 0x40, 0};
}

void press(int code, int times) {
    for (int i = 0; i < times; ++i) {
        EXPECT_TRUE(applyKey(code));
    }
}

void expectConsistent() {
    EXPECT_LE(std::abs(driveState.speedLevel), 9);
    EXPECT_LE(std::abs(driveState.steerLevel), 9);
    EXPECT_EQ(driveState.speedMagnitude, std::abs(driveState.speedLevel));
    EXPECT_EQ(driveState.steerMagnitude, std::abs(driveState.steerLevel));
    const int s = driveState.speedLevel;
    EXPECT_EQ(driveState.speedCode, s == 0 ? 0x80 : s > 0 ? 0xA0 + s : 0x90 - s);
    const int t = driveState.steerLevel;
    EXPECT_EQ(driveState.steerCode, t == 0 ? 0x40 : t > 0 ? 0x50 + t : 0x60 - t);
}

TEST(DriveSteps, SpeedStopsAtTheLimitsButTheKeyIsStillHandled) {
    atRest();
    press(72, 9);
    EXPECT_EQ(driveState.speedLevel, 9);
    EXPECT_EQ(driveState.speedCode, 0xA9);
    const DriveState before = driveState;
    EXPECT_TRUE(applyKey(72));
    EXPECT_EQ(driveState.speedLevel, before.speedLevel);
    EXPECT_EQ(driveState.speedCode, before.speedCode);

    atRest();
    press(80, 12);
    EXPECT_EQ(driveState.speedLevel, -9);
    EXPECT_EQ(driveState.speedCode, 0x99);
}

TEST(DriveSteps, SteeringStopsAtTheLimits) {
    atRest();
    press(75, 10);
    EXPECT_EQ(driveState.steerLevel, -9);
    EXPECT_EQ(driveState.steerCode, 0x69);
    atRest();
    press(77, 10);
    EXPECT_EQ(driveState.steerLevel, 9);
    EXPECT_EQ(driveState.steerCode, 0x59);
}

TEST(DriveSteps, OneStepFromRestAndBackThroughZero) {
    atRest();
    speedDown();
    EXPECT_EQ(driveState.speedCode, 0x91);
    steerRight();
    EXPECT_EQ(driveState.steerCode, 0x51);

    atRest();
    speedUp();
    speedDown();
    EXPECT_EQ(driveState.speedCode, 0x80);
    EXPECT_EQ(driveState.speedMagnitude, 0);
    speedDown();
    speedUp();
    speedUp();
    EXPECT_EQ(driveState.speedCode, 0xA1); // no jump from reverse past stop
}

TEST(DriveSteps, SpeedAndSteeringAreIndependent) {
    atRest();
    press(77, 4);
    press(72, 3);
    EXPECT_EQ(driveState.steerLevel, 4);
    press(80, 5);
    EXPECT_EQ(driveState.steerLevel, 4);
    press(75, 2);
    EXPECT_EQ(driveState.speedLevel, -2);
}

TEST(DriveKeys, EscReturnsToRestWithoutQuitting) {
    atRest();
    press(72, 5);
    press(75, 3);
    EXPECT_TRUE(applyKey(27));
    EXPECT_EQ(driveState.speedLevel, 0);
    EXPECT_EQ(driveState.steerLevel, 0);
    EXPECT_EQ(driveState.speedMagnitude, 0);
    EXPECT_EQ(driveState.steerMagnitude, 0);
    EXPECT_EQ(driveState.speedCode, 128);
    EXPECT_EQ(driveState.steerCode, 64);
    EXPECT_EQ(driveState.quitRequested, 0);
}

TEST(DriveKeys, CapitalQSaysStopThenRestsAndQuits) {
    atRest();
    press(72, 3);
    std::string output = captureOutput([] { EXPECT_TRUE(applyKey(81)); });
    EXPECT_EQ(output, "STOP\n");
    EXPECT_EQ(driveState.speedCode, 0x80);
    EXPECT_EQ(driveState.quitRequested, 1);
}

TEST(DriveKeys, SmallQRestsAndQuitsSilently) {
    atRest();
    press(77, 2);
    std::string output = captureOutput([] { EXPECT_TRUE(applyKey(113)); });
    EXPECT_EQ(output, "");
    EXPECT_EQ(driveState.steerCode, 0x40);
    EXPECT_EQ(driveState.quitRequested, 1);
    applyKey(27);
    EXPECT_EQ(driveState.quitRequested, 1); // never cleared
}

TEST(DriveKeys, UnlistedCodesChangeNothing) {
    atRest();
    press(72, 2);
    press(75, 1);
    const DriveState before = driveState;
    for (int code = -1; code <= 255; ++code) {
        if (code == 27 || code == 72 || code == 75 || code == 77 || code == 80 || code == 81 ||
            code == 113) {
            continue;
        }
        EXPECT_FALSE(applyKey(code)) << code;
    }
    EXPECT_FALSE(applyKey(256 + 72)); // only the code itself counts, not its low byte
    EXPECT_FALSE(applyKey(-256 + 72));
    EXPECT_EQ(std::memcmp(&before, &driveState, sizeof before), 0);
}

// The nine status rows, written out independently of the code under test.
struct Row {
    int speedLow, speedHigh, steerLow, steerHigh;
    const char* speedWord;
    const char* steerWord;
};
const Row kRows[] = {
    {161, 174, 97, 110, "Vpred", "Vlevo"},     {161, 174, 81, 94, "Vpred", "Vpravo"},
    {145, 158, 81, 94, "Vzad", "Vpravo"},      {145, 158, 97, 110, "Vzad", "Vlevo"},
    {128, 128, 97, 110, "Stuj", "Vlevo"},      {128, 128, 81, 94, "Stuj", "Vpravo"},
    {161, 174, 64, 64, "Vpred", "Nenatoceno"}, {145, 158, 64, 64, "Vzad", "Nenatoceno"},
    {128, 128, 64, 64, "Stuj", "Nenatoceno"},
};

TEST(DriveProperties, RandomKeySequencesKeepTheStateConsistent) {
    std::mt19937 random(20261207);
    const int keys[] = {27, 72, 75, 77, 80, 0, 224, -1, 65, 113};
    for (int run = 0; run < 300; ++run) {
        atRest();
        for (int step = 0; step < 200; ++step) {
            const int key = keys[random() % (sizeof keys / sizeof keys[0])];
            applyKey(key == 113 ? 72 : key); // keep driving: quit is tested elsewhere
            expectConsistent();
            int matches = 0;
            std::string expected;
            for (const Row& row : kRows) {
                if (driveState.speedCode >= row.speedLow && driveState.speedCode <= row.speedHigh &&
                    driveState.steerCode >= row.steerLow && driveState.steerCode <= row.steerHigh) {
                    ++matches;
                    expected = std::string(" ") + row.speedWord + ": " +
                               std::to_string(driveState.speedMagnitude) + ", " + row.steerWord +
                               ": " + std::to_string(driveState.steerMagnitude) + "\n";
                }
            }
            ASSERT_EQ(matches, 1);
            ASSERT_EQ(statusText(driveState.speedCode, driveState.steerCode,
                                 driveState.speedMagnitude, driveState.steerMagnitude),
                      expected);
        }
    }
}

} // namespace
