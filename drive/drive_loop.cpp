#include "drive/drive_loop.h"

#include "console/console.h"
#include "drive/drive_state.h"
#include "drive/status_line.h"
#include "link/open_problem.h"
#include "link/transmitter_link.h"
#include "link/wire_format.h"
#include "process/clock.h"
#include "process/signals.h"

#include <string>

namespace {

constexpr std::int64_t kOpenRetryPauseNs = 10 * kNsPerMs;

// Keys that are waiting when a frame is due go in before it, as long as that
// takes no more than about a byte time; the rest follow between bytes.
constexpr std::int64_t kKeyBudgetNs = kNominalByteNs;

enum class DriveEnd { Quit, Stop, Lost };

bool stopRequested() {
    return exitSignal() != 0;
}

void takeKey() {
    if (applyKey(readKey())) {
        showStatus();
    }
}

// Waits until untilNs, or until the program is asked to stop. Keys that
// arrive meanwhile are read in with their times, and stay queued.
void pauseUntil(std::int64_t untilNs) {
    while (monotonicNs() < untilNs && !stopRequested()) {
        waitForInput(untilNs);
    }
}

// Gives the terminal back and stops until continued, unless a request to
// end or a continue came first; then takes the terminal again. The caller
// looks at the requests again afterwards.
void suspendHere() {
    consoleSuspend();
    suspendProcess();
    takeContinued();
    consoleResume();
}

// Whether the screen may have been changed by somebody else since the last
// call: the process was continued (the shell wrote meanwhile) or the window
// resized. Both are taken.
bool screenDisturbed() {
    const bool continued = takeContinued();
    const bool resized = takeResized();
    return continued || resized;
}

// The prompt on a cleared screen and, under it, why a transmitter that is
// there cannot be used, if the library can tell.
void showPrompt(const std::string& problem) {
    clearScreen();
    writeText("Pripojte vysilac na USB");
    if (!problem.empty()) {
        writeText(("\n" + problem + ", see rcdrive-monitor --list").c_str());
    }
}

void dropBlindKeys();

// Prompts and tries to open until the transmitter answers and takes the line
// settings, or until the program is asked to stop. Keys typed meanwhile stay
// queued; after a loss they are typed blind and dropped, but a quit key ends
// the wait at once: the transmitter may never come back. The prompt is drawn
// once, and again only when the screen may have changed or the reason under
// it changes: the attempts go on every 10 ms, the screen stays still.
bool connect(bool afterLoss) {
    bool drawn = false;
    bool ready = false;
    std::string problem;
    for (;;) {
        if (stopRequested()) {
            return false;
        }
        if (afterLoss) {
            dropBlindKeys();
            if (driveState.quitRequested) {
                return false;
            }
        }
        if (ready) {
            return true;
        }
        if (takeSuspendRequest()) {
            suspendHere();
            drawn = false;
            continue;
        }
        if (screenDisturbed() || !drawn) {
            showPrompt(problem);
            drawn = true;
        }
        ready = openTransmitter() == FT_OK;
        if (ready && !configureLine()) {
            closeTransmitter();
            ready = false;
        }
        const std::string now = ready ? std::string() : d2xxOpenProblem();
        if (now != problem) {
            problem = now;
            drawn = false;
        }
        pauseUntil(monotonicNs() + kOpenRetryPauseNs);
    }
}

// Keys typed while the prompt showed after the transmitter was lost were
// typed blind, for a vehicle that was not listening: they are dropped. Only
// the quit keys still count.
void dropBlindKeys() {
    while (!driveState.quitRequested && keyWaiting()) {
        const int code = readKey();
        if (code == kKeyQuit || code == kKeyStop) {
            applyKey(code);
        }
    }
}

// Back at rest, shown on the screen: after the process was stopped for a
// while, driving goes on from rest rather than with a command from before.
void restAndShow() {
    resetDrive();
    showStatus();
}

// Before the process stops: the vehicle at rest, the rest frame out whole,
// the terminal given back. The transmitter stays open.
void suspendDriving() {
    resetDrive();
    sendFrame(driveState.speedCode, driveState.steerCode);
    waitUntilSent();
    suspendHere();
    showStatus();
}

// The line sets the pace: keys are applied as they arrive, and each byte goes
// to the device when it is due, a frame's codes read as its first byte goes.
// The first frame after an open is the rest frame: no key is applied before
// it has gone out whole.
DriveEnd drive() {
    bool restFrameOut = false;
    for (;;) {
        if (driveState.quitRequested) {
            return DriveEnd::Quit;
        }
        if (stopRequested()) {
            return DriveEnd::Stop;
        }
        if (takeSuspendRequest()) {
            suspendDriving();
            continue;
        }
        if (takeContinued()) {
            consoleResume();
            restAndShow();
        }
        if (takeResized()) {
            showStatus();
        }
        // Input that has ended can never stop the vehicle again: the drive
        // ends as q ends it.
        if (restFrameOut && keyInputEnded()) {
            applyKey(kKeyQuit);
            showStatus();
            continue;
        }
        const std::int64_t due = byteDueNs();
        const std::int64_t now = monotonicNs();
        if (now < due) {
            // Until the byte is due: keys as they come. The wait reads in
            // whatever arrives, so nothing else need look at the terminal.
            if (restFrameOut && keyQueued()) {
                takeKey();
            } else {
                waitForInput(due);
            }
            continue;
        }
        // The byte is due. Keys already waiting go in first; more input that
        // keeps coming waits for the time between bytes.
        if (restFrameOut && keyWaiting()) {
            const std::int64_t budgetEnd = now + kKeyBudgetNs;
            do {
                takeKey();
            } while (!driveState.quitRequested && keyQueued() && monotonicNs() < budgetEnd);
            if (driveState.quitRequested) {
                continue;
            }
        }
        streamByte(driveState.speedCode, driveState.steerCode);
        restFrameOut = restFrameOut || !frameUnfinished();
        if (transmitterLost()) {
            return DriveEnd::Lost;
        }
    }
}

} // namespace

int runDrive() {
    installExitHandlers();
    installJobControlHandlers();
    consoleOpen();

    for (bool lost = false;; lost = true) {
        if (!connect(lost)) {
            break;
        }
        // Each time the transmitter opens, driving starts from rest.
        restAndShow();
        if (drive() != DriveEnd::Lost) {
            break;
        }
        // The transmitter is gone: let go of it and wait for it again.
        closeTransmitter();
    }

    clearScreen();
    writeText("Close\n");
    if (transmitterOpen()) {
        // Whatever way the drive ended, the vehicle is left at rest: the
        // frame begun goes out whole, then the rest frame, a failed byte
        // written again for up to half a second, and the device is closed
        // only once they have left the line.
        sendFrame(kRestSpeedCode, kRestSteerCode);
        waitUntilSent();
        closeTransmitter();
    }
    consoleClose();
    shutdownComplete();
    return exitStatusForSignal(exitSignal());
}
