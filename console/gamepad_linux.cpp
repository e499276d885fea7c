// A gamepad on Linux, through evdev (/dev/input/event*). The pad's events are
// read as they come, a report at a time (each ends with SYN_REPORT); inotify
// on /dev/input says when a node appears or changes its permissions (udev
// gives the seat's user access a moment after the node is made), so a pad
// plugged in later is found at once without polling.
#include "console/gamepad.h"

#include "console/gamepad_scan.h"
#include "process/descriptors.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <linux/input.h>
#include <string>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

struct Gamepad {
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
    int watchFd = -1;              // inotify
    bool watchingInputDir = false; // else /dev, until /dev/input exists
    bool lookAgain = false;        // something changed under /dev/input
    int deviceFd = -1;             // the pad in use
    PadState state;
    PadReading reading; // as the events since the last report left it
    bool leftHeld = false;
    bool rightHeld = false;
    bool resync = false; // events were dropped: read the state afresh
    PadCommand pending;
} pad;

bool bitSet(const unsigned char* bits, int bit) {
    return (bits[bit / 8] >> (bit % 8)) & 1;
}

void take(const PadCommand& command) {
    pad.pending = mergePadCommands(pad.pending, command);
}

void report() {
    pad.reading.deadman = pad.leftHeld || pad.rightHeld;
    take(padUpdate(pad.state, pad.reading));
}

// The whole state as the device has it now: after opening, and after the
// kernel dropped events because they were not read in time.
bool readWholeState() {
    input_absinfo x{};
    input_absinfo y{};
    unsigned char keys[KEY_MAX / 8 + 1] = {};
    if (ioctl(pad.deviceFd, EVIOCGABS(ABS_X), &x) != 0 ||
        ioctl(pad.deviceFd, EVIOCGABS(ABS_Y), &y) != 0 ||
        ioctl(pad.deviceFd, EVIOCGKEY(sizeof keys), keys) < 0) {
        return false;
    }
    pad.state.xRange = {x.minimum, x.maximum};
    pad.state.yRange = {y.minimum, y.maximum};
    pad.reading.x = x.value;
    pad.reading.y = y.value;
    pad.leftHeld = bitSet(keys, BTN_TL);
    pad.rightHeld = bitSet(keys, BTN_TR);
    return true;
}

void dropPad() {
    if (pad.deviceFd < 0) {
        return;
    }
    close(pad.deviceFd);
    pad.deviceFd = -1;
    // Gone while held: the vehicle rests, as on letting go.
    pad.reading.present = false;
    take(padUpdate(pad.state, pad.reading));
    pad.state = PadState();
}

// The first pad that can be opened and read.
void findPad() {
    for (const GamepadDevice& device : findGamepads(pad.sysfsRoot, pad.devRoot)) {
        pad.deviceFd = open(device.node.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
        if (pad.deviceFd < 0) {
            continue;
        }
        // The transmitter comes first: a pad never takes the descriptors it
        // would need.
        if (!essentialDescriptorsFree()) {
            close(pad.deviceFd);
            pad.deviceFd = -1;
            return;
        }
        pad.state = PadState();
        pad.reading = PadReading{true, false, 0, 0};
        if (readWholeState()) {
            report();
            return;
        }
        close(pad.deviceFd);
        pad.deviceFd = -1;
    }
}

// Watches /dev/input, or /dev until /dev/input is made (with the first input
// device, where devtmpfs makes it on demand).
void watchForPads() {
    if (pad.watchFd < 0 || pad.watchingInputDir) {
        return;
    }
    const std::string dir = pad.devRoot + "/input";
    pad.watchingInputDir =
        inotify_add_watch(pad.watchFd, dir.c_str(), IN_CREATE | IN_ATTRIB | IN_MOVED_TO) >= 0;
    if (!pad.watchingInputDir) {
        inotify_add_watch(pad.watchFd, pad.devRoot.c_str(), IN_CREATE | IN_MOVED_TO | IN_ONLYDIR);
    }
}

void readWatch() {
    alignas(inotify_event) char buffer[4096];
    while (read(pad.watchFd, buffer, sizeof buffer) > 0) {
        pad.lookAgain = true;
    }
}

void readPad() {
    input_event events[64];
    for (;;) {
        const ssize_t got = read(pad.deviceFd, events, sizeof events);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            return;
        }
        if (got <= 0) {
            dropPad(); // unplugged (ENODEV), or it cannot be read
            pad.lookAgain = true;
            return;
        }
        for (ssize_t i = 0; i < got / static_cast<ssize_t>(sizeof events[0]); ++i) {
            const input_event& e = events[i];
            if (e.type == EV_SYN && e.code == SYN_DROPPED) {
                pad.resync = true;
            } else if (e.type == EV_SYN && e.code == SYN_REPORT) {
                if (pad.resync && !readWholeState()) {
                    dropPad();
                    return;
                }
                pad.resync = false;
                report();
            } else if (pad.resync) {
                continue; // the rest of a report cut short: read afresh at its end
            } else if (e.type == EV_KEY && e.code == BTN_TL) {
                pad.leftHeld = e.value != 0;
            } else if (e.type == EV_KEY && e.code == BTN_TR) {
                pad.rightHeld = e.value != 0;
            } else if (e.type == EV_ABS && e.code == ABS_X) {
                pad.reading.x = e.value;
            } else if (e.type == EV_ABS && e.code == ABS_Y) {
                pad.reading.y = e.value;
            }
        }
    }
}

} // namespace

void setGamepadRoots(const char* sysfsRoot, const char* devRoot) {
    pad.sysfsRoot = sysfsRoot;
    pad.devRoot = devRoot;
}

void gamepadOpen() {
    gamepadClose();
    pad.pending = PadCommand();
    pad.watchFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (pad.watchFd >= 0 && !essentialDescriptorsFree()) {
        close(pad.watchFd);
        pad.watchFd = -1;
        return;
    }
    watchForPads();
    findPad();
}

void gamepadClose() {
    if (pad.deviceFd >= 0) {
        close(pad.deviceFd);
        pad.deviceFd = -1;
    }
    if (pad.watchFd >= 0) {
        close(pad.watchFd);
        pad.watchFd = -1;
    }
    pad.watchingInputDir = false;
    pad.lookAgain = false;
    pad.state = PadState();
}

int gamepadFd(int index) {
    return index == 0 ? pad.deviceFd : index == 1 ? pad.watchFd : -1;
}

void gamepadPump() {
    if (pad.watchFd >= 0) {
        readWatch();
    }
    if (pad.deviceFd >= 0) {
        readPad();
    }
    if (pad.lookAgain) {
        pad.lookAgain = false;
        watchForPads();
        if (pad.deviceFd < 0) {
            findPad();
        }
    }
}

bool gamepadTakeCommand(PadCommand* command) {
    if (padCommandEmpty(pad.pending)) {
        return false;
    }
    *command = pad.pending;
    pad.pending = PadCommand();
    return true;
}
