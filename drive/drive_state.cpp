#include "drive/drive_state.h"

#include "console/console.h"
#include "link/wire_format.h"

#include <cstdlib>

DriveState driveState = {0, 0, 0, 0, kRestSpeedCode, kRestSteerCode, 0};

static void setSpeedLevel(std::int32_t level) {
    driveState.speedLevel = level;
    driveState.speedMagnitude = std::abs(level);
    driveState.speedCode = speedCodeFor(level);
}

static void setSteerLevel(std::int32_t level) {
    driveState.steerLevel = level;
    driveState.steerMagnitude = std::abs(level);
    driveState.steerCode = steerCodeFor(level);
}

void resetDrive() {
    setSpeedLevel(0);
    setSteerLevel(0);
}

static void speedUp() {
    setSpeedLevel(driveState.speedLevel < kMaxLevel ? driveState.speedLevel + 1 : kMaxLevel);
}

static void speedDown() {
    setSpeedLevel(driveState.speedLevel > -kMaxLevel ? driveState.speedLevel - 1 : -kMaxLevel);
}

static void steerRight() {
    setSteerLevel(driveState.steerLevel < kMaxLevel ? driveState.steerLevel + 1 : kMaxLevel);
}

static void steerLeft() {
    setSteerLevel(driveState.steerLevel > -kMaxLevel ? driveState.steerLevel - 1 : -kMaxLevel);
}

bool isQuitKey(int code) {
    return code == kKeyQuit || code == kKeyAbort;
}

bool applyKey(int code) {
    if (isQuitKey(code)) {
        if (code == kKeyAbort) {
            writeText("STOP\n");
        }
        resetDrive();
        driveState.quitRequested = 1;
        return true;
    }
    switch (code) {
    case kKeyEsc:
        resetDrive();
        return true;
    case kKeyUp:
        speedUp();
        return true;
    case kKeyLeft:
        steerLeft();
        return true;
    case kKeyRight:
        steerRight();
        return true;
    case kKeyDown:
        speedDown();
        return true;
    default:
        return false;
    }
}
