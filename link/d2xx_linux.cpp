// The D2XX functions rcdrive uses, over the kernel's USB serial driver. A
// device is found by its USB product string (see usb_serial.h), opened as a
// terminal, held exclusively and driven through termios. The line runs as
// rcdrive needs it and no other way: 1200 baud, 8 data bits, even parity, 1
// stop bit; other rates and framings are refused.
//
// Every call but the close() at the end of FT_Close is bounded in time: the
// terminal is non-blocking, a write gives up after kWriteLimitNs and a close
// waits at most kDrainLimitNs for queued output to leave the driver. A
// transmitter that is unplugged or stuck therefore shows as FT_IO_ERROR
// instead of a hung program; what close() itself can still wait for is said
// at FT_Close. Like the vendor's library, a handle is meant to be used from
// one thread at a time.
#include "link/d2xx_linux.h"

#include "link/d2xx_queue.h"
#include "link/open_problem.h"
#include "link/serial_line.h"
#include "link/usb_serial.h"
#include "link/wire_format.h"
#include "process/clock.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <linux/serial.h>
#include <mutex>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace {

// How long a write waits in all for room in the driver's buffer. An
// unplugged device needs no limit: its port is hung up and a write fails at
// once (EIO). rcdrive writes one byte at a time paced to the line, so the
// usb-serial core's buffer (a page, 4 KiB on most machines) is near empty
// and a write finds room at once; the buffer fills only behind a device that
// has taken nothing for over half a minute (4096 bytes at about 109 a
// second), and then waiting longer does not help. The limit keeps such a
// failing write under a frame time (27.5 ms), a bit over two byte times.
constexpr std::int64_t kWriteLimitNs = 20 * kNsPerMs;
// How long a close waits for queued output to be sent, and in what steps. A
// working device takes a byte within a USB transfer; one that has taken
// nothing for this long is stuck, and its caller has waited on it already.
constexpr std::int64_t kDrainLimitNs = 100 * kNsPerMs;
constexpr std::int64_t kDrainStepNs = 5 * kNsPerMs;
// Pause between write attempts when poll reports room that write then
// refuses, so that the retry loop does not spin.
constexpr std::int64_t kRetryPauseNs = 1 * kNsPerMs;

struct Device {
    int fd;
    std::string node;
    std::string description; // as opened by description; else empty
    std::string identity;    // which chip it is, see chipIdentity
};

struct Registry {
    std::mutex mutex;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
    // Handles that are open; anything else passed in is refused, so a
    // handle used after FT_Close is an error rather than a use of freed memory.
    std::vector<Device*> open;
    // Why the latest open by description failed although a device with the
    // description was there; empty otherwise.
    std::string openProblem;
    // The chip driven first, once a byte was written to it: a later open by
    // its description takes that chip alone, never another of the same name.
    std::string drivenDescription;
    std::string drivenIdentity;
};

Registry& registry() {
    static Registry instance;
    return instance;
}

Device* lookUp(FT_HANDLE handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = std::find(r.open.begin(), r.open.end(), static_cast<Device*>(handle));
    return it == r.open.end() ? nullptr : *it;
}

// Takes the handle out of the open set; nullptr if it was not in it.
Device* release(FT_HANDLE handle) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = std::find(r.open.begin(), r.open.end(), static_cast<Device*>(handle));
    if (it == r.open.end()) {
        return nullptr;
    }
    Device* device = *it;
    r.open.erase(it);
    return device;
}

// Applies t as a raw line and reads it back; a request that did not take in
// full is an error, and the line goes back to how it was before.
FT_STATUS applyLine(int fd, const termios& before, termios t) {
    makeRawLine(&t);
    // glibc itself reports a parity the driver dropped as EINVAL.
    if (tcsetattr(fd, TCSANOW, &t) == 0 && lineTook(fd, t)) {
        return FT_OK;
    }
    tcsetattr(fd, TCSANOW, &before);
    return FT_IO_ERROR;
}

void setOpenProblem(const std::string& problem) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.openProblem = problem;
}

constexpr const char* kLineRefused = "refuses 1200 baud 8E1";

// Changes a part of the line, as applyLine does. A setting the port did not
// take is told as the reason it cannot be used, until the next open.
FT_STATUS changeLine(const Device& device, void (*change)(termios*)) {
    termios before{};
    if (tcgetattr(device.fd, &before) != 0) {
        return FT_IO_ERROR;
    }
    termios t = before;
    change(&t);
    const FT_STATUS status = applyLine(device.fd, before, t);
    if (status != FT_OK) {
        setOpenProblem(device.node + ": " + kLineRefused);
    }
    return status;
}

// Which chip a device is: its USB serial number, or where it is plugged in
// when it has none (the same port path after a replug, whatever ttyUSB node
// it gets then).
std::string chipIdentity(const UsbSerialDevice& device) {
    return device.serial.empty() ? "port " + device.usbPort : "serial " + device.serial;
}

// Opens the node exclusively: flock keeps out other users of this layer
// even when they run as root, TIOCEXCL keeps out other programs. *problem,
// empty on the way in, says why it could not.
FT_STATUS openPort(const std::string& node, FT_HANDLE* handle, std::string* problem) {
    int fd = open(node.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *problem = portOpenError(node, errno);
        return FT_DEVICE_NOT_OPENED;
    }
    // Someone else holds it: leave their exclusive mode alone.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        close(fd);
        *problem = portOpenError(node, EBUSY);
        return FT_DEVICE_NOT_OPENED;
    }
    // Put the line in a known state whatever the last user left: 9600 baud,
    // 8 data bits, no parity, 1 stop bit, the chip's power-on state.
    termios before{};
    if (ioctl(fd, TIOCEXCL) != 0 || tcgetattr(fd, &before) != 0) {
        *problem = portOpenError(node, errno);
    } else {
        termios t = before;
        setFraming(&t, CS8);
        cfsetispeed(&t, B9600);
        cfsetospeed(&t, B9600);
        if (applyLine(fd, before, t) != FT_OK) {
            *problem = node + ": refuses 9600 baud 8N1, the chip's own line";
        }
    }
    Device* device = nullptr;
    if (problem->empty()) {
        try {
            device = new Device{fd, node, "", ""};
        } catch (const std::bad_alloc&) {
            *problem = node + ": out of memory";
        }
    }
    if (device == nullptr) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return FT_DEVICE_NOT_OPENED;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.open.push_back(device);
    *handle = device;
    return FT_OK;
}

} // namespace

std::string portGroup(const std::string& node) {
    struct stat st {};
    if (stat(node.c_str(), &st) != 0) {
        return "";
    }
    const group* g = getgrgid(st.st_gid);
    return g != nullptr ? g->gr_name : std::to_string(st.st_gid);
}

std::string portOpenError(const std::string& node, int error) {
    const char* what = error == EBUSY ? "held by another program" : std::strerror(error);
    const std::string group = error == EACCES ? portGroup(node) : "";
    return node + ": " + what + (group.empty() ? "" : " (group " + group + ")");
}

std::string portProblem(const std::string& node) {
    FT_HANDLE handle = nullptr;
    std::string problem;
    if (openPort(node, &handle, &problem) != FT_OK) {
        return problem;
    }
    if (FT_SetBaudRate(handle, kLineBaud) != FT_OK ||
        FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN) != FT_OK) {
        problem = node + ": " + kLineRefused;
    }
    FT_Close(handle);
    return problem;
}

void setDeviceRoots(const std::string& sysfsRoot, const std::string& devRoot) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.sysfsRoot = sysfsRoot;
    r.devRoot = devRoot;
    r.drivenDescription.clear();
    r.drivenIdentity.clear();
}

std::string d2xxOpenProblem() {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    return r.openProblem.empty() ? r.openProblem : r.openProblem + ", see rcdrive-monitor --list";
}

// The driver's count of what it has not yet handed to the chip: its buffer
// and the USB transfers in flight (TIOCOUTQ).
int d2xxQueuedBytes(FT_HANDLE handle) {
    Device* device = lookUp(handle);
    int queued = 0;
    return device != nullptr && ioctl(device->fd, TIOCOUTQ, &queued) == 0 ? queued : -1;
}

extern "C" {

// By description only: the first device in numeric order with this exact
// description (see usb_serial.h) that can be had. One that another program
// or handle holds, or that cannot be opened for any other reason, is passed
// over for the next with the same description; FT_DEVICE_NOT_OPENED if
// there were such devices but none could be opened. A device without a
// product string has no description, so "" finds nothing. Once a chip with
// the description has been driven, only that chip is opened by it: another
// one of the same name plugged in meanwhile may drive another vehicle.
FT_STATUS FT_API FT_OpenEx(void* arg, std::uint32_t flags, FT_HANDLE* handle) {
    if (handle == nullptr) {
        return FT_INVALID_HANDLE;
    }
    *handle = nullptr;
    const char* description = static_cast<const char*>(arg);
    if (flags != FT_OPEN_BY_DESCRIPTION || description == nullptr || *description == '\0') {
        return FT_DEVICE_NOT_FOUND;
    }
    std::string sysfsRoot;
    std::string devRoot;
    std::string driven;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        sysfsRoot = r.sysfsRoot;
        devRoot = r.devRoot;
        driven = r.drivenDescription == description ? r.drivenIdentity : "";
    }
    FT_STATUS status = FT_DEVICE_NOT_FOUND;
    std::string problem;
    std::error_code scan;
    for (const UsbSerialDevice& device : findUsbSerialDevices(sysfsRoot, devRoot, &scan)) {
        if (device.description != description) {
            continue;
        }
        // The first device's problem is the one told: it is the one the user
        // would look at first.
        std::string why;
        if (!driven.empty() && chipIdentity(device) != driven) {
            status = FT_DEVICE_NOT_OPENED;
            why = device.node + ": another transmitter than the one driven; restarting rcdrive "
                                "takes it";
        } else {
            status = openPort(device.node, handle, &why);
        }
        if (status == FT_OK) {
            Device* opened = static_cast<Device*>(*handle);
            opened->description = device.description;
            opened->identity = chipIdentity(device);
            problem.clear();
            break;
        }
        if (problem.empty()) {
            problem = why;
        }
    }
    // Short of descriptors, say, the devices could not even be listed.
    if (status == FT_DEVICE_NOT_FOUND && scan) {
        problem = sysfsRoot + "/class/tty: " + scan.message();
    }
    setOpenProblem(problem);
    return status;
}

// Only the rate rcdrive's line runs at is supported; any other is refused
// and leaves the line as it was.
FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    Device* device = lookUp(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (baudRate != kLineBaud) {
        return FT_INVALID_BAUD_RATE;
    }
    return changeLine(*device, [](termios* t) {
        cfsetispeed(t, kLineSpeed);
        cfsetospeed(t, kLineSpeed);
    });
}

// Only rcdrive's framing is supported, 8 data bits, even parity, 1 stop bit;
// any other is refused and leaves the line as it was.
FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                           unsigned char stopBits, unsigned char parity) {
    Device* device = lookUp(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (wordLength != FT_BITS_8 || stopBits != FT_STOP_BITS_1 || parity != FT_PARITY_EVEN) {
        return FT_INVALID_PARAMETER;
    }
    return changeLine(*device, [](termios* t) { setFraming(t, kLineFraming); });
}

// Writes all bytes, waiting for room when the driver's buffer is full, but
// for no longer than kWriteLimitNs in all. *written is the number of bytes
// handed to the driver, also when the call fails part way. FT_OK says the
// bytes are in the driver's buffer, not that they were sent: a device that
// stops taking bytes shows as FT_IO_ERROR only once that buffer is full.
FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t toWrite,
                          std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    Device* device = lookUp(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    if (buffer == nullptr || written == nullptr) {
        return FT_IO_ERROR;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    const std::int64_t deadline = monotonicNs() + kWriteLimitNs;
    bool roomRefused = false;
    while (*written < toWrite) {
        ssize_t n = write(device->fd, bytes + *written, toWrite - *written);
        if (n > 0) {
            *written += static_cast<std::uint32_t>(n);
            roomRefused = false;
            continue;
        }
        const int error = n < 0 ? errno : EAGAIN;
        if (error != EAGAIN && error != EWOULDBLOCK && error != EINTR) {
            return FT_IO_ERROR;
        }
        const std::int64_t left = deadline - monotonicNs();
        if (left <= 0) {
            return FT_IO_ERROR;
        }
        if (error == EINTR) {
            continue;
        }
        if (roomRefused) {
            sleepNs(std::min(kRetryPauseNs, left));
        }
        pollfd p{device->fd, POLLOUT, 0};
        int ready = poll(&p, 1, static_cast<int>((left + kNsPerMs - 1) / kNsPerMs));
        if (ready < 0 && errno != EINTR) {
            return FT_IO_ERROR;
        }
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) {
            return FT_IO_ERROR;
        }
        roomRefused = ready > 0;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.drivenIdentity.empty() && !device->identity.empty() && toWrite > 0) {
        r.drivenDescription = device->description;
        r.drivenIdentity = device->identity;
    }
    return FT_OK;
}

// Gives queued output up to kDrainLimitNs to leave the driver, then releases
// the device. The handle is gone afterwards in every case; FT_IO_ERROR says
// that queued output may not have been sent (device gone or stuck).
//
// What close() can still wait for. The usb-serial core cannot be made to
// empty its write buffer from here (it has no flush for it, so TCOFLUSH does
// nothing), and the last close of a port waits up to the port's closing_wait,
// 30 s unless changed, for that buffer and then the chip's own to empty.
// - Unplugged: the port is hung up, and its close waits for nothing.
// - Working: the buffer has drained above; close() waits while the chip sends
//   what it still holds, with rcdrive's pacing a byte or two at 9 ms each.
// - Attached but taking no bytes: closing_wait is set to "none" (TIOCSSERIAL)
//   so that the core cancels the transfer in flight and drops the rest
//   instead of waiting. The core allows that change only with CAP_SYS_ADMIN,
//   and kernels older than its handling of closing_wait ignore it; then
//   close() waits out closing_wait, or until the device is unplugged, whose
//   failed transfer ends the wait. The setting belongs to the port, not to
//   this open, and lasts until the device is plugged in again.
// And the driver drops DTR and RTS at close (HUPCL) through USB control
// requests; those, and any the driver makes for TIOCSSERIAL, are each bounded
// by the driver's own timeout (seconds), which a device that answers nothing
// at all runs out.
FT_STATUS FT_API FT_Close(FT_HANDLE handle) {
    Device* device = release(handle);
    if (device == nullptr) {
        return FT_INVALID_HANDLE;
    }
    FT_STATUS status = FT_OK;
    const std::int64_t deadline = monotonicNs() + kDrainLimitNs;
    for (;;) {
        int queued = 0;
        if (ioctl(device->fd, TIOCOUTQ, &queued) != 0) {
            status = FT_IO_ERROR;
            break;
        }
        if (queued == 0) {
            break;
        }
        const std::int64_t left = deadline - monotonicNs();
        if (left <= 0) {
            // Kept as read but for closing_wait, so nothing else changes.
            serial_struct serial{};
            if (ioctl(device->fd, TIOCGSERIAL, &serial) == 0 &&
                serial.closing_wait != ASYNC_CLOSING_WAIT_NONE) {
                serial.closing_wait = ASYNC_CLOSING_WAIT_NONE;
                ioctl(device->fd, TIOCSSERIAL, &serial);
            }
            status = FT_IO_ERROR;
            break;
        }
        sleepNs(std::min(kDrainStepNs, left));
    }
    ioctl(device->fd, TIOCNXCL);
    close(device->fd);
    delete device;
    return status;
}

} // extern "C"
