#include "drive/status_line.h"

#include "console/console.h"
#include "drive/drive_state.h"

#include <cstdio>

namespace {

// The code ranges are wider than the codes the key actions produce: any code
// in a range reads as that direction.
const char* speedWord(int speedCode) {
    if (speedCode >= 161 && speedCode <= 174) {
        return "Vpred";
    }
    if (speedCode >= 145 && speedCode <= 158) {
        return "Vzad";
    }
    if (speedCode == 128) {
        return "Stuj";
    }
    return nullptr;
}

const char* steerWord(int steerCode) {
    if (steerCode >= 97 && steerCode <= 110) {
        return "Vlevo";
    }
    if (steerCode >= 81 && steerCode <= 94) {
        return "Vpravo";
    }
    if (steerCode == 64) {
        return "Nenatoceno";
    }
    return nullptr;
}

} // namespace

std::string statusText(int speedCode, int steerCode, int speedMagnitude, int steerMagnitude) {
    const char* speed = speedWord(speedCode);
    const char* steer = steerWord(steerCode);
    if (speed == nullptr || steer == nullptr) {
        return std::string();
    }
    char line[64];
    std::snprintf(line, sizeof line, " %s: %d, %s: %d\n", speed, speedMagnitude, steer,
                  steerMagnitude);
    return line;
}

void showStatus() {
    clearScreen();
    const std::string line = statusText(driveState.speedCode, driveState.steerCode,
                                        driveState.speedMagnitude, driveState.steerMagnitude);
    if (!line.empty()) {
        writeText(line.c_str());
    }
}
