#include "tests/kernel/uinput_pad.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/uinput.h>
#include <sstream>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

namespace {

int padFd = -1;

bool emit(int type, int code, int value) {
    input_event event{};
    event.type = static_cast<__u16>(type);
    event.code = static_cast<__u16>(code);
    event.value = value;
    return write(padFd, &event, sizeof event) == static_cast<ssize_t>(sizeof event);
}

bool setUp() {
    for (int key : {BTN_SOUTH, BTN_TL, BTN_TR}) {
        if (ioctl(padFd, UI_SET_KEYBIT, key) != 0) {
            return false;
        }
    }
    for (int axis : {ABS_X, ABS_Y}) {
        uinput_abs_setup abs{};
        abs.code = static_cast<__u16>(axis);
        abs.absinfo.minimum = -32768;
        abs.absinfo.maximum = 32767;
        if (ioctl(padFd, UI_SET_ABSBIT, axis) != 0 || ioctl(padFd, UI_ABS_SETUP, &abs) != 0) {
            return false;
        }
    }
    uinput_setup setup{};
    setup.id.bustype = BUS_USB;
    setup.id.vendor = 0x045e;
    setup.id.product = 0x028e;
    std::strncpy(setup.name, "rcdrive test pad", UINPUT_MAX_NAME_SIZE - 1);
    return ioctl(padFd, UI_SET_EVBIT, EV_KEY) == 0 && ioctl(padFd, UI_SET_EVBIT, EV_ABS) == 0 &&
           ioctl(padFd, UI_DEV_SETUP, &setup) == 0 && ioctl(padFd, UI_DEV_CREATE) == 0;
}

} // namespace

bool padCreate(std::string* error) {
    padFd = open("/dev/uinput", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (padFd < 0 || !setUp()) {
        *error = std::string("uinput: ") + std::strerror(errno);
        padRemove();
        return false;
    }
    return true;
}

bool padReport(const std::string& changes) {
    std::istringstream list(changes);
    for (std::string change; std::getline(list, change, ',');) {
        if (change.size() < 2) {
            return false;
        }
        const int value = std::atoi(change.c_str() + 1);
        const bool sent = change[0] == 'L'   ? emit(EV_KEY, BTN_TL, value)
                          : change[0] == 'R' ? emit(EV_KEY, BTN_TR, value)
                          : change[0] == 'X' ? emit(EV_ABS, ABS_X, value)
                          : change[0] == 'Y' ? emit(EV_ABS, ABS_Y, value)
                                             : false;
        if (!sent) {
            return false;
        }
    }
    return emit(EV_SYN, SYN_REPORT, 0);
}

void padRemove() {
    if (padFd >= 0) {
        ioctl(padFd, UI_DEV_DESTROY);
        close(padFd);
        padFd = -1;
    }
}
