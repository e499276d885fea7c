#include "drive/drive_loop.h"

#include "console/console.h"
#include "console/exit_signals.h"
#include "drive/drive_state.h"
#include "drive/status_line.h"
#include "link/clock.h"
#include "link/transmitter_link.h"

namespace {

constexpr std::int64_t kOpenRetryPauseNs = 10 * kNsPerMs;

bool stopRequested() {
    return exitSignal() != 0;
}

// Prompts and tries to open until the transmitter answers, or until the
// program is asked to stop. Keys typed meanwhile stay queued.
bool connect() {
    bool open = false;
    while (!open && !stopRequested()) {
        clearScreen();
        writeText("Pripojte vysilac na USB");
        open = openTransmitter() == FT_OK;
        sleepNs(kOpenRetryPauseNs);
    }
    return open;
}

// Frames stream while no key waits; each key is applied as it comes.
void drive() {
    while (!driveState.quitRequested && !stopRequested()) {
        if (!keyWaiting()) {
            sendFrame(driveState.speedCode, driveState.steerCode);
            continue;
        }
        if (applyKey(readKey())) {
            showStatus();
        }
    }
}

} // namespace

int runDrive() {
    installExitHandlers();
    consoleOpen();

    const bool open = connect();
    if (open) {
        configureLine();
        showStatus();
        drive();
    }

    clearScreen();
    writeText("Close\n");
    if (open) {
        // Whatever way the drive ended, the vehicle is left at rest.
        sendFrame(kRestSpeedCode, kRestSteerCode);
        closeTransmitter();
    }
    consoleClose();
    shutdownComplete();
    return exitStatusForSignal(exitSignal());
}
