#include "drive/status_line.h"

#include "console/console.h"
#include "drive/drive_state.h"

void showStatus() {
    clearScreen();
    const std::string line = statusText(driveState.speedCode, driveState.steerCode,
                                        driveState.speedMagnitude, driveState.steerMagnitude);
    if (!line.empty()) {
        writeText(line.c_str());
    }
}
