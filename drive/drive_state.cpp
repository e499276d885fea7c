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

void speedUp() {
    setSpeedLevel(driveState.speedLevel < kMaxLevel ? driveState.speedLevel + 1 : kMaxLevel);
}

void speedDown() {
    setSpeedLevel(driveState.speedLevel > -kMaxLevel ? driveState.speedLevel - 1 : -kMaxLevel);
}

void steerRight() {
    setSteerLevel(driveState.steerLevel < kMaxLevel ? driveState.steerLevel + 1 : kMaxLevel);
}

void steerLeft() {
    setSteerLevel(driveState.steerLevel > -kMaxLevel ? driveState.steerLevel - 1 : -kMaxLevel);
}

bool applyKey(int code) {
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
    case kKeyStop:
        writeText("STOP\n");
        resetDrive();
        driveState.quitRequested = 1;
        return true;
    case kKeyQuit:
        resetDrive();
        driveState.quitRequested = 1;
        return true;
    default:
        return false;
    }
}
