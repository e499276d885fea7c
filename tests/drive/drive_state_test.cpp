// The key table and the steps, checked against the encoding written out here
// on its own. The letters H, K, M and P give the codes of Up, Left, Right and
// Down, so a string of them is a run of arrow keys.
#include "drive/drive_state.h"
#include "testkit/capture_output.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

void driveFromRest(const std::string& keys) {
    driveState = DriveState{0, 0, 0, 0, 0x80, 0x40, 0};
    for (char key : keys) {
        EXPECT_TRUE(applyKey(key)) << key;
    }
}

void expectLevels(int speed, int steer) {
    EXPECT_EQ(driveState.speedLevel, speed);
    EXPECT_EQ(driveState.steerLevel, steer);
    EXPECT_EQ(driveState.speedMagnitude, std::abs(speed));
    EXPECT_EQ(driveState.steerMagnitude, std::abs(steer));
    EXPECT_EQ(driveState.speedCode, speed == 0 ? 0x80 : speed > 0 ? 0xA0 + speed : 0x90 - speed);
    EXPECT_EQ(driveState.steerCode, steer == 0 ? 0x40 : steer > 0 ? 0x50 + steer : 0x60 - steer);
}

// Ten keys down from rest, then twenty up: one level per key, through zero
// with no jump, held at 9 either way (the key still handled), and the other
// half of the state left as it was.
TEST(DriveSteps, OneLevelPerKeyThroughZeroAndNoFurtherThanNine) {
    for (const bool speed : {true, false}) {
        driveFromRest(speed ? "MM" : "HH");
        int level = 0;
        for (int i = 0; i < 30; ++i) {
            const bool down = i < 10;
            EXPECT_TRUE(applyKey(speed ? (down ? 'P' : 'H') : (down ? 'K' : 'M')));
            level = std::clamp(level + (down ? -1 : 1), -9, 9);
            SCOPED_TRACE(testing::Message() << (speed ? "speed " : "steer ") << level);
            speed ? expectLevels(level, 2) : expectLevels(2, level);
        }
    }
}

// Esc rests; q and Q rest and quit, and only Q says so. Quitting is never
// taken back.
TEST(DriveKeys, EscRestsAndTheQuitKeysRestAndQuit) {
    driveFromRest("HHHHHKKK\x1b");
    expectLevels(0, 0);
    EXPECT_EQ(driveState.quitRequested, 0);
    for (const auto& [key, said] : {std::pair<int, const char*>{'Q', "STOP\n"}, {'q', ""}}) {
        driveFromRest("HHHMM");
        EXPECT_EQ(captureOutput([key = key] { EXPECT_TRUE(applyKey(key)); }), said);
        expectLevels(0, 0);
        EXPECT_EQ(driveState.quitRequested, 1);
        applyKey(27);
        EXPECT_EQ(driveState.quitRequested, 1);
    }
}

TEST(DriveKeys, UnlistedCodesChangeNothing) {
    driveFromRest("HHK");
    const DriveState before = driveState;
    for (int code = -1; code <= 255; ++code) {
        if (std::string("\x1bHKMPQq").find(static_cast<char>(code)) == std::string::npos) {
            EXPECT_FALSE(applyKey(code)) << code;
        }
    }
    EXPECT_FALSE(applyKey(256 + 'H')); // only the code itself counts, not its low byte
    EXPECT_FALSE(applyKey(-256 + 'H'));
    EXPECT_EQ(std::memcmp(&before, &driveState, sizeof before), 0);
}

} // namespace
