#include "sim/virtual_transmitter.h"

#include "link/d2xx.h"
#include "link/d2xx_queue.h"
#include "link/open_problem.h"
#include "link/wire_format.h"
#include "process/clock.h"
#include "trace/trace_file.h"
#include "trace/trace_format.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <new>
#include <vector>

namespace {

// What the driver holds for a chip that takes nothing: as much as the Linux
// usb-serial core's buffer, a page.
constexpr std::size_t kDriverBufferBytes = 4096;

struct VirtualDevice {
    VirtualTransmitterSettings settings;
    std::int64_t startNs = 0;
    bool tracing = false;
    bool open = false;
    // Each open gives a handle of its own; one from before an unplug stays
    // dead after the device is back, as a real one does.
    std::uintptr_t openHandle = 0;
    std::uintptr_t handlesGiven = 0;
    std::int64_t openedNs = 0;
    std::int64_t baud = 9600; // the chip's power-on line: 9600 8N1
    std::int64_t bitsPerByte = 10;
    double lineFreeNs = 0; // when the last accepted byte has left the line
    // Written while the chip took nothing: in the driver, not yet traced.
    std::vector<std::uint8_t> stuck;
};

VirtualDevice device;

void trace(std::int64_t t, TraceKind kind, std::uint32_t status,
           std::initializer_list<std::uint32_t> values = {}, const char* description = "") {
    if (!device.tracing) {
        return;
    }
    // Out of memory, the line is lost rather than the program: the device
    // must go on working, and the vehicle must still be brought to rest.
    try {
        TraceRecord record;
        record.t = t;
        record.kind = kind;
        record.description = description;
        std::size_t i = 0;
        for (std::uint32_t value : values) {
            record.values[i++] = value;
        }
        record.status = status;
        const std::string line = formatTraceLine(record);
        writeTraceLine(line.data(), line.size());
    } catch (const std::bad_alloc&) {
    }
}

double byteNs() {
    const double nominal =
        1e9 * static_cast<double>(device.bitsPerByte) / static_cast<double>(device.baud);
    return nominal * (1.0 + static_cast<double>(device.settings.rateErrorPpm) / 1e6);
}

bool attached(std::int64_t now) {
    return now - device.startNs >= device.settings.attachAfterMs * kNsPerMs;
}

bool reached(std::int64_t now, std::int64_t afterMs) {
    return afterMs >= 0 && now - device.startNs >= afterMs * kNsPerMs;
}

// Away between the unplug and the replug.
bool unplugged(std::int64_t now) {
    return reached(now, device.settings.unplugAfterMs) &&
           !reached(now, device.settings.replugAfterMs);
}

// The open handle talks to the device only if the device has not been
// unplugged since it was opened.
bool handleDead(std::int64_t now) {
    const std::int64_t unplugNs = device.startNs + device.settings.unplugAfterMs * kNsPerMs;
    return reached(now, device.settings.unplugAfterMs) && device.openedNs < unplugNs;
}

std::int64_t stallEndNs() {
    if (device.settings.stallForMs < 0) {
        return std::numeric_limits<std::int64_t>::max();
    }
    return device.startNs + (device.settings.stallAfterMs + device.settings.stallForMs) * kNsPerMs;
}

bool stalled(std::int64_t now) {
    return reached(now, device.settings.stallAfterMs) && now < stallEndNs();
}

// Once the chip takes data again it takes what waited in the driver: onto
// the line one byte after the other from the stall's end, and only then into
// the trace, which holds what reached the line.
void takeStuck(std::int64_t now) {
    if (device.stuck.empty() || stalled(now)) {
        return;
    }
    for (std::uint8_t byte : device.stuck) {
        const double start = std::max(device.lineFreeNs, static_cast<double>(stallEndNs()));
        device.lineFreeNs = start + byteNs();
        trace(static_cast<std::int64_t>(start), TraceKind::Write, FT_OK, {byte});
    }
    device.stuck.clear();
}

bool validHandle(FT_HANDLE handle) {
    return device.open && reinterpret_cast<std::uintptr_t>(handle) == device.openHandle;
}

} // namespace

bool replugFits(const VirtualTransmitterSettings& settings) {
    return settings.replugAfterMs < 0 ||
           (settings.unplugAfterMs >= 0 && settings.replugAfterMs >= settings.unplugAfterMs);
}

bool stallFits(const VirtualTransmitterSettings& settings) {
    return settings.stallForMs < 0 || settings.stallAfterMs >= 0;
}

bool startVirtualTransmitter(const VirtualTransmitterSettings& settings, std::string& error,
                             bool* traceBusy) {
    if (!replugFits(settings)) {
        error = "the transmitter can be plugged in again only after it was unplugged";
        return false;
    }
    if (!stallFits(settings)) {
        error = "a stall's length needs the time it begins";
        return false;
    }
    device = VirtualDevice();
    device.settings = settings;
    device.startNs = monotonicNs();
    if (!settings.tracePath.empty()) {
        bool busy = false;
        if (!openTraceFile(settings.tracePath, error, busy)) {
            if (traceBusy != nullptr) {
                *traceBusy = busy;
            }
            return false;
        }
        device.tracing = true;
    }
    return true;
}

void endVirtualTransmitter() {
    if (device.tracing) {
        closeTraceFile();
        device.tracing = false;
    }
}

extern "C" {

FT_STATUS FT_API FT_OpenEx(void* arg, std::uint32_t flags, FT_HANDLE* handle) {
    const std::int64_t now = monotonicNs();
    const char* description = static_cast<const char*>(arg);
    FT_STATUS status = FT_OK;
    if (handle == nullptr) {
        status = FT_INVALID_HANDLE;
    } else if (flags != FT_OPEN_BY_DESCRIPTION || description == nullptr ||
               std::strcmp(description, kDeviceDescription) != 0 || !attached(now) ||
               unplugged(now)) {
        status = FT_DEVICE_NOT_FOUND;
    } else if (device.open && !handleDead(now)) {
        status = FT_DEVICE_NOT_OPENED;
    } else {
        device.open = true;
        device.openHandle = ++device.handlesGiven;
        device.openedNs = now;
        device.baud = 9600;
        device.bitsPerByte = 10;
        device.lineFreeNs = static_cast<double>(now);
        device.stuck.clear();
        *handle = reinterpret_cast<FT_HANDLE>(device.openHandle);
    }
    trace(now, TraceKind::Open, status, {flags}, description ? description : "");
    return status;
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    FT_STATUS status = FT_OK;
    if (!validHandle(handle)) {
        status = FT_INVALID_HANDLE;
    } else if (handleDead(monotonicNs())) {
        status = FT_IO_ERROR;
    } else if (baudRate < 300 || baudRate > 3000000) {
        status = FT_IO_ERROR;
    } else {
        device.baud = baudRate;
    }
    trace(monotonicNs(), TraceKind::Baud, status, {baudRate});
    return status;
}

FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                           unsigned char stopBits, unsigned char parity) {
    FT_STATUS status = FT_OK;
    if (!validHandle(handle)) {
        status = FT_INVALID_HANDLE;
    } else if (handleDead(monotonicNs())) {
        status = FT_IO_ERROR;
    } else if ((wordLength != FT_BITS_7 && wordLength != FT_BITS_8) ||
               (stopBits != FT_STOP_BITS_1 && stopBits != FT_STOP_BITS_2) ||
               parity > FT_PARITY_EVEN) {
        status = FT_IO_ERROR;
    } else {
        device.bitsPerByte = 1 + wordLength + (parity != FT_PARITY_NONE ? 1 : 0) +
                             (stopBits == FT_STOP_BITS_2 ? 2 : 1);
    }
    trace(monotonicNs(), TraceKind::Data, status, {wordLength, stopBits, parity});
    return status;
}

FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t toWrite,
                          std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (!validHandle(handle)) {
        return FT_INVALID_HANDLE;
    }
    if (buffer == nullptr && toWrite > 0) {
        return FT_IO_ERROR;
    }
    const unsigned char* bytes = static_cast<const unsigned char*>(buffer);
    for (std::uint32_t i = 0; i < toWrite; ++i) {
        std::int64_t now = monotonicNs();
        if (handleDead(now)) {
            trace(now, TraceKind::Write, FT_IO_ERROR, {bytes[i]});
            return FT_IO_ERROR;
        }
        takeStuck(now);
        if (stalled(now)) {
            // The driver keeps what the chip does not take, as long as it has
            // room; a write finds none once a page waits.
            if (device.stuck.size() >= kDriverBufferBytes) {
                trace(now, TraceKind::Write, FT_IO_ERROR, {bytes[i]});
                return FT_IO_ERROR;
            }
            device.stuck.push_back(bytes[i]);
            if (written != nullptr) {
                *written = i + 1;
            }
            continue;
        }
        // The buffer holds the byte on the line and those waiting behind it;
        // while it is full, wait for the line to free a place.
        const double perByte = byteNs();
        const double roomAt =
            device.lineFreeNs - static_cast<double>(device.settings.fifoBytes - 1) * perByte;
        while (static_cast<double>(now) < roomAt) {
            sleepNs(static_cast<std::int64_t>(roomAt - static_cast<double>(now)) + 1);
            now = monotonicNs();
        }
        const double start = std::max(device.lineFreeNs, static_cast<double>(now));
        device.lineFreeNs = start + perByte;
        trace(static_cast<std::int64_t>(start), TraceKind::Write, FT_OK, {bytes[i]});
        if (written != nullptr) {
            *written = i + 1;
        }
    }
    return FT_OK;
}

FT_STATUS FT_API FT_Close(FT_HANDLE handle) {
    // The close is traced with the time the program asked for it, not when
    // the wait below ends: whether the program itself waited for its last
    // byte to leave the line must show in the trace.
    const std::int64_t calledNs = monotonicNs();
    if (!validHandle(handle)) {
        trace(calledNs, TraceKind::Close, FT_INVALID_HANDLE);
        return FT_INVALID_HANDLE;
    }
    // What still waits in the driver for a stalled chip goes with the port.
    // The chip finishes what it holds before the port goes; a bounded wait,
    // so a huge buffer cannot hold the program up for long.
    takeStuck(calledNs);
    device.stuck.clear();
    const std::int64_t deadline = calledNs + 1000 * kNsPerMs;
    std::int64_t now = calledNs;
    while (!handleDead(now) && static_cast<double>(now) < device.lineFreeNs && now < deadline) {
        sleepNs(std::min<std::int64_t>(
            deadline - now,
            static_cast<std::int64_t>(device.lineFreeNs - static_cast<double>(now)) + 1));
        now = monotonicNs();
    }
    device.open = false;
    trace(calledNs, TraceKind::Close, FT_OK);
    return FT_OK;
}

} // extern "C"

// What waits below the program: in the driver while the chip takes nothing,
// and in the chip's buffer behind the byte on the line.
int d2xxQueuedBytes(FT_HANDLE handle) {
    const std::int64_t now = monotonicNs();
    if (!validHandle(handle) || handleDead(now)) {
        return -1;
    }
    takeStuck(now);
    const double ahead = (device.lineFreeNs - static_cast<double>(now)) / byteNs();
    const std::size_t inChip = ahead > 1 ? static_cast<std::size_t>(std::ceil(ahead)) - 1 : 0;
    return static_cast<int>(std::min<std::size_t>(device.stuck.size() + inChip, INT32_MAX));
}

// The virtual transmitter is there or it is not: nothing to explain.
std::string d2xxOpenProblem() {
    return std::string();
}
