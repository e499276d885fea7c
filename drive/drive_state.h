// What the operator has asked of the vehicle, and the keys that change it.
#pragma once

#include <cstdint>

struct DriveState {
    std::int32_t speedLevel;     // -9 .. +9: positive forward, negative reverse, 0 stop
    std::int32_t steerLevel;     // -9 .. +9: positive right, negative left, 0 straight
    std::int32_t speedMagnitude; // |speedLevel|
    std::int32_t steerMagnitude; // |steerLevel|
    std::int32_t speedCode;      // the levels' codes, as link/wire_format.h has them
    std::int32_t steerCode;
    std::int32_t quitRequested; // 1 once a quit key was pressed; never cleared
};

// The one drive state of the process. Only the key actions below write it.
extern DriveState driveState;

// Key codes the key table acts on.
constexpr int kKeyEsc = 27;
constexpr int kKeyUp = 72;    // also the letter H
constexpr int kKeyLeft = 75;  // also K
constexpr int kKeyRight = 77; // also M
constexpr int kKeyDown = 80;  // also P
constexpr int kKeyAbort = 81; // Q, and the second code of PgDn: quits saying "STOP"
constexpr int kKeyQuit = 113; // q

// Runs the action for one key code. Returns whether the key was handled; an
// unhandled key (extended-key prefixes 0 and 224, -1, anything unlisted)
// changes nothing.
bool applyKey(int code);

// Whether the key ends the program.
bool isQuitKey(int code);

// Back to rest: stop, straight. The quit flag stays as it is.
void resetDrive();
