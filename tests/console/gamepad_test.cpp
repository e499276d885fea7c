#include "console/gamepad_map.h"
#include "console/gamepad_scan.h"
#include "drive/pad_keys.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// A range whose values read directly as hundredths of a percent of half the
// travel: 10000 is the centre, 0 and 20000 the end stops.
constexpr StickRange kBasisRange = {0, 20000};

std::string describe(const PadCommand& c) {
    std::string text = c.rest ? "rest" : "";
    if (c.setSpeed) {
        text += " speed " + std::to_string(c.speedLevel);
    }
    if (c.setSteer) {
        text += " steer " + std::to_string(c.steerLevel);
    }
    return text;
}

} // namespace

// The curve: 15 % dead zone, nine equal steps to the end stop, and a level
// that moves only 2 % past an edge.
TEST(GamepadMap, StickLevelsFollowTheCurve) {
    struct Row {
        int value;
        StickRange range;
        int previous;
        int level;
    };
    const Row rows[] = {
        {10000, kBasisRange, 0, 0},     {11500, kBasisRange, 0, 0}, // the dead zone's edge
        {11501, kBasisRange, 1, 1},     {11501, kBasisRange, 0, 0}, // past it, not by 2 %
        {11701, kBasisRange, 0, 1},     {12444, kBasisRange, 0, 1}, // step 1 ends at 24.4 %
        {12444, kBasisRange, 2, 2},     {12445, kBasisRange, 0, 2}, // held at 2, or step 2
        {19055, kBasisRange, 0, 8},     {19056, kBasisRange, 0, 9}, // the last step
        {20000, kBasisRange, 0, 9},     {0, kBasisRange, 0, -9},    // end stops
        {8300, kBasisRange, 0, 0},      {8299, kBasisRange, 0, -1}, // the other side
        {8299, kBasisRange, -3, -1},    {0, {0, 255}, 0, -9},       // falling, an 8-bit axis
        {255, {0, 255}, 0, 9},          {128, {0, 255}, 0, 0},      //
        {32767, {-32768, 32767}, 0, 9}, {5, {5, 5}, 3, 0},          // evdev's range, none
    };
    for (const Row& r : rows) {
        EXPECT_EQ(stickLevel(r.value, r.range, r.previous), r.level)
            << r.value << " in " << r.range.minimum << ".." << r.range.maximum << " from "
            << r.previous;
    }
}

// The deadman: nothing without it, the stick at once when it goes down, each
// axis that moves while held, and rest on letting go or losing the pad.
TEST(GamepadMap, TheDeadmanGatesTheStick) {
    struct Step {
        PadReading reading;
        const char* command;
    };
    const Step steps[] = {
        {{true, false, 10000, 0}, ""},                  // full up, not held
        {{true, true, 10000, 0}, " speed 9 steer 0"},   // held: counts at once
        {{true, true, 20000, 0}, " steer 9"},           // full right
        {{true, true, 20000, 10000}, " speed 0"},       // centred again
        {{true, true, 20000, 10000}, ""},               // no move
        {{true, false, 20000, 10000}, "rest"},          // let go
        {{true, false, 0, 20000}, ""},                  // moved, not held
        {{true, true, 0, 20000}, " speed -9 steer -9"}, //
        {{false, true, 0, 20000}, "rest"},              // the pad is gone
        {{false, false, 0, 0}, ""},                     //
    };
    PadState state;
    state.xRange = kBasisRange;
    state.yRange = kBasisRange;
    for (const Step& s : steps) {
        EXPECT_EQ(describe(padUpdate(state, s.reading)), s.command)
            << "x " << s.reading.x << " y " << s.reading.y << " held " << s.reading.deadman;
    }
}

// The later command's levels win, and a rest in either stays, first.
TEST(GamepadMap, CommandsMergeWithTheLaterLevelsAndAnyRest) {
    const PadCommand speed3 = {false, true, 3, false, 0};
    const PadCommand steer2 = {false, false, 0, true, -2};
    const PadCommand rest = {true, false, 0, false, 0};
    EXPECT_EQ(describe(mergePadCommands(speed3, steer2)), " speed 3 steer -2");
    EXPECT_EQ(describe(mergePadCommands(steer2, rest)), "rest");
    EXPECT_EQ(describe(mergePadCommands(rest, speed3)), "rest speed 3");
}

// The codes go through the key table: Esc, and arrows one step at a time.
TEST(GamepadMap, CommandsBecomeKeyCodes) {
    struct Row {
        int speed;
        int steer;
        PadCommand command;
        std::vector<int> codes;
    };
    const Row rows[] = {
        {0, 0, {false, true, 2, false, 0}, {224, 72, 224, 72}},
        {3, -1, {false, true, 1, true, 1}, {224, 80, 224, 80, 224, 77, 224, 77}},
        {5, 5, {true, false, 0, false, 0}, {27}},
        {5, 5, {true, true, -1, false, 0}, {27, 224, 80}},
        {-2, 4, {false, true, -2, true, 3}, {224, 75}},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(padKeyCodes(r.speed, r.steer, r.command), r.codes) << describe(r.command);
    }
}

// Key bitmaps as sysfs writes them: an Xbox pad on a 64-bit and a 32-bit
// kernel, the gamepad block alone, a keyboard, a touchpad, a stick without Y.
TEST(GamepadScan, TellsGamepadsByWhatTheyReport) {
    struct Row {
        const char* key;
        const char* abs;
        int longBits;
        bool pad;
    };
    const Row rows[] = {
        {"7cdb000000000000 0 0 0 0", "3003f", 64, true},
        {"7cdb0000 0 0 0 0 0 0 0 0 0", "3003f", 32, true},
        {"1000000000000 0 0 0 0", "3", 64, true},
        {"402000000 3803078f800d001 feffffdfffefffff fffffffffffffffe", "0", 64, false},
        {"10000 0 0 0 0", "3", 64, false},
        {"7cdb000000000000 0 0 0 0", "1", 64, false},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(reportsGamepad(r.key, r.abs, r.longBits), r.pad) << r.key << " / " << r.abs;
    }
}
