// A gamepad's left stick and shoulder buttons, as the levels they ask for.
//
// The pad drives only while a shoulder button is held (the deadman): then the
// left stick's vertical axis sets the speed level (up is forward) and its
// horizontal axis the steering level (right is right). Letting go of both
// buttons, or losing the pad while one is held, asks for rest.
//
// Pure: the platform readers feed it what the pad reports; it never touches
// the drive state itself.
#pragma once

// One axis's travel, as the pad reports it.
struct StickRange {
    int minimum;
    int maximum;
};

// Around the centre, this share of half the travel (in %) is level 0: a
// stick at rest never sits exactly on its centre. The other 85 % are split
// into nine equal steps, so that the end stop is level 9.
constexpr int kStickDeadZonePercent = 15;

// A level changes only once the stick is this far past the edge of its step
// (in % of half the travel), so that a stick held on an edge, or a noisy
// one, does not flicker between two levels.
constexpr int kStickHysteresisPercent = 2;

// The level, -9..9, that an axis value asks for, with the minimum end
// negative. previous is the level it asked for last.
int stickLevel(int value, StickRange range, int previous);

// What the pad reports at one moment.
struct PadReading {
    bool present; // false: unplugged, or it could not be read
    bool deadman; // a shoulder button is held
    int x;        // left stick, horizontal: the minimum is left
    int y;        // left stick, vertical: the minimum is up
};

// What the vehicle is asked to do: rest first if asked, then each level that
// is set.
struct PadCommand {
    bool rest = false;
    bool setSpeed = false;
    int speedLevel = 0;
    bool setSteer = false;
    int steerLevel = 0;
};

bool padCommandEmpty(const PadCommand& command);

// Two commands in a row as one: the later one's levels win, and a rest in
// either is kept, before the later levels.
PadCommand mergePadCommands(const PadCommand& earlier, const PadCommand& later);

struct PadState {
    StickRange xRange = {-32768, 32767};
    StickRange yRange = {-32768, 32767};
    bool held = false;  // the deadman was held at the last reading
    int speedLevel = 0; // what the stick asked for at the last reading
    int steerLevel = 0;
};

// Takes a reading. While the deadman is held, the stick's position when it
// went down counts at once, and later each axis whose level changes sets it
// again (keys may have changed the drive state meanwhile). Letting go, or a
// pad that is gone while held, asks for rest.
PadCommand padUpdate(PadState& state, const PadReading& reading);
