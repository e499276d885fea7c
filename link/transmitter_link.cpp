#include "link/transmitter_link.h"

#include "link/d2xx_queue.h"
#include "link/pacer.h"
#include "process/clock.h"

#include <algorithm>
#include <limits>

TransmitterLink transmitterLink = {nullptr, FT_DEVICE_NOT_OPENED};

namespace {

// A USB transfer to the chip takes about a millisecond; this leaves room.
constexpr std::int64_t kTransferMarginNs = 5 * kNsPerMs;

Pacer pacer;
bool pacing = true;
int failedWritesInARow = 0;
std::int64_t failingSinceNs = 0; // when the first of them was begun
bool tookData = false;           // a byte was taken since the open

// A byte held back because the device is not taking what waits below.
constexpr std::int64_t kNotHeld = std::numeric_limits<std::int64_t>::min();
std::int64_t heldSinceNs = kNotHeld;
int heldBelow = 0; // bytes waiting below when last looked

// The frame on its way out: its bytes, and how many have been handed over.
std::array<std::uint8_t, 3> frame = {};
int frameSent = 3;

void sleepUntil(std::int64_t whenNs) {
    for (std::int64_t now = monotonicNs(); now < whenNs; now = monotonicNs()) {
        sleepNs(whenNs - now);
    }
}

// Whether the device is taking what was handed over: no more than a byte on
// its way below. Once it takes again what it held, those bytes go onto the
// line from now, and the pacer reckons with them.
bool deviceTaking(std::int64_t now) {
    const int below = d2xxQueuedBytes(transmitterLink.deviceHandle);
    if (below > kMostQueuedBelow) {
        heldSinceNs = heldSinceNs == kNotHeld ? now : heldSinceNs;
        heldBelow = below;
        return false;
    }
    if (heldSinceNs != kNotHeld) {
        pacerResume(pacer, now, heldBelow);
        heldSinceNs = kNotHeld;
    }
    return true;
}

bool failingTooLong(std::int64_t now) {
    return failedWritesInARow >= kFailedWritesWhenLost &&
           now - failingSinceNs >= kFailingWhenLostNs;
}

// Looked at afresh: the device may have taken the bytes since the last look
// (the process may have been stopped meanwhile).
bool stalledTooLong(std::int64_t now) {
    return heldSinceNs != kNotHeld && !deviceTaking(now) && now - heldSinceNs >= kStallLostNs;
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
        tookData = false;
        heldSinceNs = kNotHeld;
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
        tookData = true;
    }
    return status;
}

std::int64_t byteDueNs() {
    if (!pacing) {
        return std::numeric_limits<std::int64_t>::min();
    }
    const std::int64_t now = monotonicNs();
    // Only a byte that is due asks what waits below: one look a byte time.
    if (pacerWaitNs(pacer, now) == 0 && transmitterOpen() && !deviceTaking(now)) {
        return now + kHeldLookNs;
    }
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
        // A byte held while the device takes nothing is due again later.
        const std::int64_t due = byteDueNs();
        if (monotonicNs() < due) {
            sleepUntil(std::min(due, giveUp));
            continue;
        }
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
    const std::int64_t now = monotonicNs();
    return failingTooLong(now) || stalledTooLong(now);
}

bool transmitterTakesNoData() {
    const std::int64_t now = monotonicNs();
    return stalledTooLong(now) || (failingTooLong(now) && !tookData);
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
