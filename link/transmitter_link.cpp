#include "link/transmitter_link.h"

#include "link/pacer.h"
#include "process/clock.h"

#include <limits>

TransmitterLink transmitterLink = {nullptr, FT_DEVICE_NOT_OPENED};

namespace {

// A USB transfer to the chip takes about a millisecond; this leaves room.
constexpr std::int64_t kTransferMarginNs = 5 * kNsPerMs;

Pacer pacer;
bool pacing = true;
int failedWritesInARow = 0;
std::int64_t failingSinceNs = 0; // when the first of them was begun

// The frame on its way out: its bytes, and how many have been handed over.
std::array<std::uint8_t, 3> frame = {};
int frameSent = 3;

void sleepUntil(std::int64_t whenNs) {
    for (std::int64_t now = monotonicNs(); now < whenNs; now = monotonicNs()) {
        sleepNs(whenNs - now);
    }
}

} // namespace

bool transmitterOpen() {
    return transmitterLink.openStatus == FT_OK;
}

FT_STATUS openTransmitter() {
    // FT_OpenEx takes the description through a pointer to non-const, and
    // only reads it.
    transmitterLink.openStatus = FT_OpenEx(const_cast<char*>(kDeviceDescription),
                                           FT_OPEN_BY_DESCRIPTION, &transmitterLink.deviceHandle);
    if (transmitterOpen()) {
        // A fresh line, with nothing queued on it and no frame begun.
        pacer = Pacer();
        failedWritesInARow = 0;
        frameSent = 3;
    } else {
        transmitterLink.deviceHandle = nullptr;
    }
    return transmitterLink.openStatus;
}

bool configureLine() {
    if (!transmitterOpen()) {
        return false;
    }
    const FT_STATUS baud = FT_SetBaudRate(transmitterLink.deviceHandle, kLineBaud);
    const FT_STATUS data = FT_SetDataCharacteristics(transmitterLink.deviceHandle, FT_BITS_8,
                                                     FT_STOP_BITS_1, FT_PARITY_EVEN);
    return baud == FT_OK && data == FT_OK;
}

FT_STATUS sendByte(int value) {
    if (!transmitterOpen()) {
        return FT_INVALID_HANDLE;
    }
    unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    std::uint32_t written = 0;
    const std::int64_t begun = monotonicNs();
    FT_STATUS status = FT_Write(transmitterLink.deviceHandle, &byte, 1, &written);
    // A write that reports success but took no byte has not sent it either.
    if (status == FT_OK && written != 1) {
        status = FT_IO_ERROR;
    }
    // Pacing goes on for a failed write too, so that a dead device does not
    // spin the loop with retries.
    if (pacing) {
        pacerWrote(pacer, monotonicNs());
    }
    if (status != FT_OK && failedWritesInARow++ == 0) {
        failingSinceNs = begun;
    } else if (status == FT_OK) {
        failedWritesInARow = 0;
    }
    return status;
}

std::int64_t byteDueNs() {
    if (!pacing) {
        return std::numeric_limits<std::int64_t>::min();
    }
    const std::int64_t now = monotonicNs();
    return now + pacerWaitNs(pacer, now);
}

FT_STATUS streamByte(int speedCode, int steerCode) {
    if (frameSent == 3) {
        frame = frameBytes(speedCode, steerCode);
        frameSent = 0;
    }
    // A byte that failed is written again next time, so that the frame on
    // its way is never cut short on the line.
    const FT_STATUS status = sendByte(frame[frameSent]);
    if (status == FT_OK) {
        ++frameSent;
    }
    return status;
}

bool frameUnfinished() {
    return frameSent < 3;
}

bool sendFrame(int speedCode, int steerCode) {
    const std::int64_t giveUp = monotonicNs() + kFrameRetryLimitNs;
    // The frame begun goes out whole first, then this one.
    for (int framesLeft = frameUnfinished() ? 2 : 1; transmitterOpen() && monotonicNs() < giveUp;) {
        sleepUntil(byteDueNs());
        if (streamByte(speedCode, steerCode) == FT_OK && !frameUnfinished() && --framesLeft == 0) {
            return true;
        }
    }
    return false;
}

void waitUntilSent() {
    if (pacing && pacerLineClearNs(pacer) != std::numeric_limits<std::int64_t>::min()) {
        sleepUntil(pacerLineClearNs(pacer) + kTransferMarginNs);
    }
}

bool transmitterLost() {
    return failedWritesInARow >= kFailedWritesWhenLost &&
           monotonicNs() - failingSinceNs >= kFailingWhenLostNs;
}

void closeTransmitter() {
    if (!transmitterOpen()) {
        return;
    }
    FT_Close(transmitterLink.deviceHandle);
    transmitterLink.deviceHandle = nullptr;
    transmitterLink.openStatus = FT_DEVICE_NOT_OPENED;
    frameSent = 3;
}

void setPacing(bool paced) {
    pacing = paced;
}
