#include "drive/drive_loop.h"

#include "console/console.h"
#include "console/gamepad.h"
#include "drive/drive_state.h"
#include "drive/pad_keys.h"
#include "drive/status_line.h"
#include "link/open_problem.h"
#include "link/transmitter_link.h"
#include "link/wire_format.h"
#include "process/clock.h"
#include "process/signals.h"

#include <string>
#include <vector>

namespace {

constexpr std::int64_t kOpenRetryPauseNs = 10 * kNsPerMs;

// A transmitter that opened but took no data is tried again no sooner than
// this, so that it is not opened and closed over and over.
constexpr std::int64_t kNoDataRetryNs = 1000 * kNsPerMs;
constexpr const char* kTakesNoData =
    "the transmitter opened but takes no data, tried again every second";

// Keys that are waiting when a frame is due go in before it, as long as that
// takes no more than about a byte time; the rest follow between bytes.
constexpr std::int64_t kKeyBudgetNs = kNominalByteNs;

enum class DriveEnd { Quit, ExitRequest, Lost };

// Keys typed at the prompt at start-up, other than the quit keys: applied
// once the first rest frame is out. As many as a terminal holds for a
// program (4 KiB); beyond that an endless input's keys are dropped, so that
// neither memory nor the first frame waits on it.
std::vector<int> typedAhead;
constexpr std::size_t kMostTypedAhead = 4096;

void drawStatus();

void takeKey() {
    if (applyKey(readKey())) {
        drawStatus();
    }
}

// What the gamepad asked for, applied as its key codes all at once, so that
// the next frame carries all of it; the status line is drawn once.
void takePadCommand() {
    PadCommand command;
    if (!gamepadTakeCommand(&command)) {
        return;
    }
    bool handled = false;
    for (const int code : padKeyCodes(driveState.speedLevel, driveState.steerLevel, command)) {
        handled = applyKey(code) || handled;
    }
    if (handled) {
        drawStatus();
    }
}

// Waits until untilNs, or until the program is asked to end. Keys that
// arrive meanwhile are read in with their times, and stay queued.
void pauseUntil(std::int64_t untilNs) {
    while (monotonicNs() < untilNs && !exitRequested()) {
        waitForInput(untilNs);
    }
}

// Gives the terminal back and is suspended until continued, unless a request
// to end or a continue came first; then takes the terminal again. The caller
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

// The prompt on the screen, if it is there, and the reason shown under it.
struct PromptShown {
    bool onScreen = false;
    std::string problem;
};
PromptShown prompt;

// The prompt on a cleared screen and, under it, why a transmitter that is
// there cannot be used, if that is known.
void showPrompt(const std::string& problem) {
    clearScreen();
    writeText("Pripojte vysilac na USB");
    if (!problem.empty()) {
        writeText(("\n" + problem).c_str());
    }
    prompt = {true, problem};
}

void drawStatus() {
    showStatus();
    prompt.onScreen = false;
}

// The screen again, after somebody else may have changed it: the status line
// once driving, the prompt until then.
void redraw(bool driving) {
    if (driving) {
        drawStatus();
    } else {
        showPrompt(prompt.problem);
    }
}

// Takes the keys read in while the prompt showed. A quit key ends the
// program at once: nothing is driven meanwhile, and a quit key that waited
// for a transmitter that may never come would not do its job. Other keys are
// kept for the drive if keep is set, and dropped otherwise. True once a quit
// key came.
bool takePromptKeys(bool keep) {
    while (keyBuffered()) {
        const int code = readKey();
        if (isQuitKey(code)) {
            applyKey(code);
            return true;
        }
        if (keep && typedAhead.size() < kMostTypedAhead) {
            typedAhead.push_back(code);
        }
    }
    return false;
}

// Prompts and tries to open until the transmitter answers and takes the line
// settings, or until the program is asked to end or a quit key comes. Other
// keys typed meanwhile are kept for the drive with keepKeys (typed ahead at
// start-up), else dropped (typed blind for a vehicle that was not
// listening). The prompt is drawn again only when the screen may have
// changed or the reason under it changes: the attempts go on every 10 ms,
// from notBeforeNs on, and the screen stays still, also from one loss of the
// transmitter to the next while it takes no data.
bool connect(bool keepKeys, std::int64_t notBeforeNs, std::string problem) {
    for (;;) {
        if (exitRequested()) {
            return false;
        }
        if (takeSuspendRequest()) {
            suspendHere();
            prompt.onScreen = false;
            continue;
        }
        if (takePromptKeys(keepKeys)) {
            return false;
        }
        // The pad asks nothing of a vehicle that is not listening.
        PadCommand dropped;
        gamepadTakeCommand(&dropped);
        if (screenDisturbed() || !prompt.onScreen || prompt.problem != problem) {
            showPrompt(problem);
        }
        bool ready = false;
        if (monotonicNs() >= notBeforeNs) {
            ready = openTransmitter() == FT_OK;
            if (ready && !configureLine()) {
                closeTransmitter();
                ready = false;
            }
            problem = ready ? problem : d2xxOpenProblem();
        }
        pauseUntil(monotonicNs() + kOpenRetryPauseNs);
        if (ready) {
            return true;
        }
    }
}

// Before the process is suspended: the vehicle at rest, the rest frame out
// whole and shown, the terminal given back. The transmitter stays open.
void suspendDriving() {
    resetDrive();
    sendFrame(driveState.speedCode, driveState.steerCode);
    waitUntilSent();
    drawStatus();
    suspendHere();
    drawStatus();
}

// The line sets the pace: keys are applied as they arrive, and each byte goes
// to the device when it is due, a frame's codes read as its first byte goes.
// The first frame after an open is the rest frame: no key is applied, and the
// prompt stays, until it has gone out whole.
DriveEnd drive() {
    bool restFrameOut = false;
    for (;;) {
        if (driveState.quitRequested) {
            return DriveEnd::Quit;
        }
        if (exitRequested()) {
            return DriveEnd::ExitRequest;
        }
        if (transmitterLost()) {
            return DriveEnd::Lost;
        }
        if (takeSuspendRequest()) {
            suspendDriving();
            continue;
        }
        // After the process was suspended for a while, driving goes on from
        // rest rather than with a command from before.
        if (takeContinued()) {
            consoleResume();
            resetDrive();
            redraw(restFrameOut);
        }
        if (takeResized()) {
            redraw(restFrameOut);
        }
        if (restFrameOut && !typedAhead.empty()) {
            for (const int code : typedAhead) {
                if (applyKey(code)) {
                    drawStatus();
                }
            }
            typedAhead.clear();
            continue;
        }
        // Input that has ended can never stop the vehicle again: the drive
        // ends as q ends it.
        if (restFrameOut && keyInputEnded()) {
            applyKey(kKeyQuit);
            drawStatus();
            continue;
        }
        if (restFrameOut) {
            takePadCommand();
        }
        const std::int64_t due = byteDueNs();
        const std::int64_t now = monotonicNs();
        if (now < due) {
            // Until the byte is due: keys as they come. The wait reads in
            // whatever arrives, so nothing else need look at the terminal.
            if (restFrameOut && keyBuffered()) {
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
            } while (!driveState.quitRequested && keyBuffered() && monotonicNs() < budgetEnd);
            if (driveState.quitRequested) {
                continue;
            }
        }
        streamByte(driveState.speedCode, driveState.steerCode);
        if (!restFrameOut && !frameUnfinished()) {
            restFrameOut = true;
            drawStatus();
        }
    }
}

} // namespace

int runDrive() {
    installExitHandlers();
    installJobControlHandlers();
    consoleOpen();

    std::int64_t openNotBeforeNs = 0;
    std::string problem;
    for (bool lost = false;; lost = true) {
        if (!connect(!lost, openNotBeforeNs, problem)) {
            break;
        }
        if (lost) {
            // Keys that came as it opened were typed blind too; a quit key
            // among them ends the drive before it starts, with the rest frame.
            takePromptKeys(false);
        }
        // Each time the transmitter opens, driving starts from rest.
        resetDrive();
        if (drive() != DriveEnd::Lost) {
            break;
        }
        // The transmitter is gone: let go of it and wait for it again. One
        // that is there but takes nothing is given a rest between attempts.
        const bool noData = transmitterTakesNoData();
        closeTransmitter();
        openNotBeforeNs = noData ? monotonicNs() + kNoDataRetryNs : 0;
        problem = noData ? kTakesNoData : "";
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
