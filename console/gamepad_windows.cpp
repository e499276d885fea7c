// A gamepad on Windows, through winmm's joystick functions, which come with
// every Windows. They report no events, so the pad is polled: every kPollNs
// while one is there, faster than frames go out. Without one, a single
// joystick number is asked at a time, going round them all within about a
// second, so that asking after an absent joystick (which can take Windows a
// while) never holds the drive loop for long. An XInput pad shows there with
// its shoulder buttons as buttons 5 and 6 and its left stick as X and Y.
#include "console/gamepad.h"

#include "process/clock.h"

#include <windows.h>

#include <mmsystem.h>

namespace {

constexpr std::int64_t kPollNs = 10 * kNsPerMs;
constexpr std::int64_t kLookNs = 1000 * kNsPerMs;
constexpr DWORD kShoulderButtons = JOY_BUTTON5 | JOY_BUTTON6;

struct Gamepad {
    bool present = false;
    UINT id = 0; // the pad's number, or the next one to ask
    PadState state;
    std::int64_t dueNs = 0; // the next poll, or the next look for a pad
    PadCommand pending;
} pad;

bool readPad(UINT id, JOYINFOEX* info) {
    info->dwSize = sizeof *info;
    info->dwFlags = JOY_RETURNX | JOY_RETURNY | JOY_RETURNBUTTONS;
    return joyGetPosEx(id, info) == JOYERR_NOERROR;
}

void take(const PadReading& reading) {
    pad.pending = mergePadCommands(pad.pending, padUpdate(pad.state, reading));
}

// Whether joystick id answers; if so it is the pad, with its axes' ranges.
bool tryPad(UINT id) {
    JOYINFOEX info;
    JOYCAPSA caps;
    if (!readPad(id, &info) || joyGetDevCapsA(id, &caps, sizeof caps) != JOYERR_NOERROR) {
        return false;
    }
    pad.present = true;
    pad.id = id;
    pad.state = PadState();
    pad.state.xRange = {static_cast<int>(caps.wXmin), static_cast<int>(caps.wXmax)};
    pad.state.yRange = {static_cast<int>(caps.wYmin), static_cast<int>(caps.wYmax)};
    take({true, (info.dwButtons & kShoulderButtons) != 0, static_cast<int>(info.dwXpos),
          static_cast<int>(info.dwYpos)});
    return true;
}

// How long until the next joystick number is asked while there is no pad.
std::int64_t lookStepNs() {
    const UINT count = joyGetNumDevs();
    return kLookNs / (count > 0 ? count : 1);
}

} // namespace

void setGamepadRoots(const char*, const char*) {}

// At start every number is asked at once: a pad that is there drives from
// the first frame.
void gamepadOpen() {
    pad = Gamepad();
    const UINT count = joyGetNumDevs();
    for (UINT id = 0; id < count && !tryPad(id); ++id) {
    }
    pad.dueNs = monotonicNs() + (pad.present ? kPollNs : lookStepNs());
}

void gamepadClose() {
    pad = Gamepad();
}

std::int64_t gamepadPollDueNs() {
    return pad.dueNs;
}

void gamepadPump() {
    const std::int64_t now = monotonicNs();
    if (now < pad.dueNs) {
        return;
    }
    if (!pad.present) {
        const UINT count = joyGetNumDevs();
        if (!tryPad(pad.id) && count > 0) {
            pad.id = (pad.id + 1) % count;
        }
    } else {
        JOYINFOEX info;
        if (readPad(pad.id, &info)) {
            take({true, (info.dwButtons & kShoulderButtons) != 0, static_cast<int>(info.dwXpos),
                  static_cast<int>(info.dwYpos)});
        } else {
            // Unplugged, or it cannot be read: rest if it was held.
            take({false, false, 0, 0});
            pad.present = false;
        }
    }
    pad.dueNs = now + (pad.present ? kPollNs : lookStepNs());
}

bool gamepadTakeCommand(PadCommand* command) {
    if (padCommandEmpty(pad.pending)) {
        return false;
    }
    *command = pad.pending;
    pad.pending = PadCommand();
    return true;
}
