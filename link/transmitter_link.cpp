#include "link/transmitter_link.h"

#include "link/d2xx_queue.h"
#include "link/pacer.h"
#include "process/clock.h"

#include <algorithm>
#include <array>
#include <limits>

namespace {

// A USB transfer to the chip takes about a millisecond; this leaves room.
constexpr std::int64_t kTransferMarginNs = 5 * kNsPerMs;

// No byte is held back.
constexpr std::int64_t kNotHeld = std::numeric_limits<std::int64_t>::min();

struct TransmitterLink {
    FT_HANDLE deviceHandle = nullptr;
    bool open = false; // from a successful open until the close
    bool paced = true;
    Pacer pacer;
    int failedWritesInARow = 0;
    std::int64_t failingSinceNs = 0; // when the first of them was begun
    bool tookData = false;           // a byte was taken since the open
    // Since when a byte is held back because the device is not taking what
    // waits below, and how many bytes waited there when last looked.
    std::int64_t heldSinceNs = kNotHeld;
    int heldBelow = 0;
    // The frame on its way out: its bytes, and how many have been handed over.
    std::array<std::uint8_t, kFrameBytes> frame = {};
    int frameSent = kFrameBytes;
};

TransmitterLink link;

void sleepUntil(std::int64_t whenNs) {
    for (std::int64_t now = monotonicNs(); now < whenNs; now = monotonicNs()) {
        sleepNs(whenNs - now);
    }
}

// Whether the device is taking what was handed over: no more than a byte on
// its way below. Once it takes again what it held, those bytes go onto the
// line from now, and the pacer reckons with them.
bool deviceTaking(std::int64_t now) {
    const int below = d2xxQueuedBytes(link.deviceHandle);
    if (below > kMostQueuedBelow) {
        link.heldSinceNs = link.heldSinceNs == kNotHeld ? now : link.heldSinceNs;
        link.heldBelow = below;
        return false;
    }
    if (link.heldSinceNs != kNotHeld) {
        pacerResume(link.pacer, now, link.heldBelow);
        link.heldSinceNs = kNotHeld;
    }
    return true;
}

bool failingTooLong(std::int64_t now) {
    return link.failedWritesInARow >= kFailedWritesWhenLost &&
           now - link.failingSinceNs >= kFailingWhenLostNs;
}

// Looked at afresh: the device may have taken the bytes since the last look
// (the process may have been suspended meanwhile).
bool stalledTooLong(std::int64_t now) {
    return link.heldSinceNs != kNotHeld && !deviceTaking(now) &&
           now - link.heldSinceNs >= kStallLostNs;
}

// Writes the byte now, in a write call of its own; whether the device took it.
bool writeByte(std::uint8_t byte) {
    std::uint32_t written = 0;
    const std::int64_t begun = monotonicNs();
    // A write that reports success but took no byte has not sent it either.
    const bool took = FT_Write(link.deviceHandle, &byte, 1, &written) == FT_OK && written == 1;
    // Pacing goes on for a failed write too, so that a dead device does not
    // spin the loop with retries.
    if (link.paced) {
        pacerWrote(link.pacer, monotonicNs());
    }
    if (!took && link.failedWritesInARow++ == 0) {
        link.failingSinceNs = begun;
    } else if (took) {
        link.failedWritesInARow = 0;
        link.tookData = true;
    }
    return took;
}

} // namespace

bool transmitterOpen() {
    return link.open;
}

FT_STATUS openTransmitter() {
    FT_HANDLE handle = nullptr;
    // FT_OpenEx takes the description through a pointer to non-const, and
    // only reads it.
    const FT_STATUS status =
        FT_OpenEx(const_cast<char*>(kDeviceDescription), FT_OPEN_BY_DESCRIPTION, &handle);
    if (status == FT_OK) {
        // A fresh line, with nothing queued on it and no frame begun.
        const bool paced = link.paced;
        link = TransmitterLink();
        link.deviceHandle = handle;
        link.open = true;
        link.paced = paced;
    }
    return status;
}

bool configureLine() {
    if (!link.open) {
        return false;
    }
    const FT_STATUS baud = FT_SetBaudRate(link.deviceHandle, kLineBaud);
    const FT_STATUS data =
        FT_SetDataCharacteristics(link.deviceHandle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN);
    return baud == FT_OK && data == FT_OK;
}

std::int64_t byteDueNs() {
    if (!link.paced) {
        return std::numeric_limits<std::int64_t>::min();
    }
    const std::int64_t now = monotonicNs();
    // Only a byte that is due asks what waits below: one look a byte time.
    if (pacerWaitNs(link.pacer, now) == 0 && link.open && !deviceTaking(now)) {
        return now + kHeldLookNs;
    }
    return now + pacerWaitNs(link.pacer, now);
}

void streamByte(int speedCode, int steerCode) {
    if (!link.open) {
        return;
    }
    if (link.frameSent == kFrameBytes) {
        link.frame = frameBytes(speedCode, steerCode);
        link.frameSent = 0;
    }
    // A byte that failed is written again next time, so that the frame on
    // its way is never cut short on the line.
    if (writeByte(link.frame[link.frameSent])) {
        ++link.frameSent;
    }
}

bool frameUnfinished() {
    return link.frameSent < kFrameBytes;
}

bool sendFrame(int speedCode, int steerCode) {
    const std::int64_t giveUp = monotonicNs() + kFrameRetryLimitNs;
    // The frame begun goes out whole first, then this one.
    for (int framesLeft = frameUnfinished() ? 2 : 1; link.open && monotonicNs() < giveUp;) {
        // A byte held while the device takes nothing is due again later.
        const std::int64_t due = byteDueNs();
        if (monotonicNs() < due) {
            sleepUntil(std::min(due, giveUp));
            continue;
        }
        // Only the byte that ends a frame leaves none unfinished.
        streamByte(speedCode, steerCode);
        if (!frameUnfinished() && --framesLeft == 0) {
            return true;
        }
    }
    return false;
}

void waitUntilSent() {
    if (link.paced && pacerLineClearNs(link.pacer) != std::numeric_limits<std::int64_t>::min()) {
        sleepUntil(pacerLineClearNs(link.pacer) + kTransferMarginNs);
    }
}

bool transmitterLost() {
    const std::int64_t now = monotonicNs();
    return failingTooLong(now) || stalledTooLong(now);
}

bool transmitterTakesNoData() {
    const std::int64_t now = monotonicNs();
    return stalledTooLong(now) || (failingTooLong(now) && !link.tookData);
}

void closeTransmitter() {
    if (!link.open) {
        return;
    }
    FT_Close(link.deviceHandle);
    link.deviceHandle = nullptr;
    link.open = false;
    link.frameSent = kFrameBytes;
}

void setPacing(bool paced) {
    link.paced = paced;
}
