// The key table and the steps, with the state each run of keys leaves
// written out. The letters H, K, M and P give the codes of Up, Left, Right and
// Down, so a string of them is a run of arrow keys.
#include "drive/drive_state.h"
#include "testkit/capture_output.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

constexpr DriveState kRest = {0, 0, 0, 0, 0x80, 0x40, 0};

void driveFromRest(const std::string& keys) {
    driveState = kRest;
    for (char key : keys) {
        EXPECT_TRUE(applyKey(key)) << key;
    }
}

void expectState(const DriveState& expected) {
    EXPECT_EQ(std::memcmp(&driveState, &expected, sizeof expected), 0)
        << driveState.speedLevel << " " << driveState.steerLevel << " " << driveState.speedMagnitude
        << " " << driveState.steerMagnitude << " " << driveState.speedCode << " "
        << driveState.steerCode << " " << driveState.quitRequested;
}

// One level a key, through zero with no jump, held at 9 either way (the key
// still handled), each half of the state left alone by the other's keys.
TEST(DriveSteps, OneLevelPerKeyThroughZeroAndNoFurtherThanNine) {
    for (const auto& [keys, state] : std::initializer_list<std::pair<const char*, DriveState>>{
             {"H", {1, 0, 1, 0, 0xA1, 0x40, 0}},
             {"P", {-1, 0, 1, 0, 0x91, 0x40, 0}},
             {"M", {0, 1, 0, 1, 0x80, 0x51, 0}},
             {"K", {0, -1, 0, 1, 0x80, 0x61, 0}},
             {"HP", {0, 0, 0, 0, 0x80, 0x40, 0}},
             {"PPPH", {-2, 0, 2, 0, 0x92, 0x40, 0}},
             {"PHH", {1, 0, 1, 0, 0xA1, 0x40, 0}},
             {"HHHHHHHHHH", {9, 0, 9, 0, 0xA9, 0x40, 0}},
             {"PPPPPPPPPP", {-9, 0, 9, 0, 0x99, 0x40, 0}},
             {"MMMMMMMMMM", {0, 9, 0, 9, 0x80, 0x59, 0}},
             {"KKKKKKKKKK", {0, -9, 0, 9, 0x80, 0x69, 0}},
             {"KKKKKKKKKMMM", {0, -6, 0, 6, 0x80, 0x66, 0}},
             {"HHHKK", {3, -2, 3, 2, 0xA3, 0x62, 0}},
             {"MMPPPP", {-4, 2, 4, 2, 0x94, 0x52, 0}},
         }) {
        SCOPED_TRACE(keys);
        driveFromRest(keys);
        expectState(state);
    }
}

// Esc rests; q and Q rest and quit, and only Q says so. Quitting is never
// taken back.
TEST(DriveKeys, EscRestsAndTheQuitKeysRestAndQuit) {
    driveFromRest("HHHHHKKK\x1b");
    expectState(kRest);
    for (const auto& [key, said] : {std::pair<int, const char*>{'Q', "STOP\n"}, {'q', ""}}) {
        driveFromRest("HHHMM");
        EXPECT_TRUE(isQuitKey(key));
        EXPECT_EQ(captureOutput([key = key] { EXPECT_TRUE(applyKey(key)); }), said);
        expectState({0, 0, 0, 0, 0x80, 0x40, 1});
        applyKey(27);
        expectState({0, 0, 0, 0, 0x80, 0x40, 1});
    }
}

TEST(DriveKeys, UnlistedCodesChangeNothing) {
    driveFromRest("HHK");
    const DriveState before = driveState;
    for (int code = -1; code <= 255; ++code) {
        if (std::string("\x1bHKMPQq").find(static_cast<char>(code)) == std::string::npos) {
            EXPECT_FALSE(applyKey(code)) << code;
            EXPECT_FALSE(isQuitKey(code)) << code;
        }
    }
    EXPECT_FALSE(applyKey(256 + 'H')); // only the code itself counts, not its low byte
    EXPECT_FALSE(applyKey(-256 + 'H'));
    expectState(before);
}

} // namespace
