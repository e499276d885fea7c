#include "link/transmitter_link.h"

#include "link/clock.h"
#include "link/pacer.h"

TransmitterLink transmitterLink = {nullptr, FT_DEVICE_NOT_OPENED};

namespace {

Pacer pacer;
bool pacing = true;

bool isOpen() {
    return transmitterLink.openStatus == FT_OK;
}

void waitForLine() {
    for (std::int64_t wait = pacerWaitNs(pacer, monotonicNs()); wait > 0;
         wait = pacerWaitNs(pacer, monotonicNs())) {
        sleepNs(wait);
    }
}

} // namespace

FT_STATUS openTransmitter() {
    static char description[] = "dimsal";
    transmitterLink.openStatus =
        FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &transmitterLink.deviceHandle);
    if (isOpen()) {
        pacer = Pacer(); // a fresh line, with nothing queued on it
    } else {
        transmitterLink.deviceHandle = nullptr;
    }
    return transmitterLink.openStatus;
}

void configureLine() {
    if (!isOpen()) {
        return;
    }
    FT_SetBaudRate(transmitterLink.deviceHandle, kLineBaud);
    FT_SetDataCharacteristics(transmitterLink.deviceHandle, FT_BITS_8, FT_STOP_BITS_1,
                              FT_PARITY_EVEN);
}

void sendByte(int value) {
    if (!isOpen()) {
        return;
    }
    if (pacing) {
        waitForLine();
    }
    unsigned char byte = static_cast<unsigned char>(value & 0xFF);
    std::uint32_t written = 0;
    // A failed write is not repeated: the next frame follows as usual. Pacing
    // goes on all the same, so an unplugged device does not spin the loop.
    FT_Write(transmitterLink.deviceHandle, &byte, 1, &written);
    if (pacing) {
        pacerWrote(pacer, monotonicNs());
    }
}

std::array<std::uint8_t, 3> commandFrame(int speedCode, int steerCode) {
    const int checksum = speedCode + steerCode;
    return {static_cast<std::uint8_t>(speedCode & 0xFF),
            static_cast<std::uint8_t>(steerCode & 0xFF),
            static_cast<std::uint8_t>(checksum & 0xFF)};
}

void sendFrame(int speedCode, int steerCode) {
    for (std::uint8_t byte : commandFrame(speedCode, steerCode)) {
        sendByte(byte);
    }
}

void closeTransmitter() {
    if (!isOpen()) {
        return;
    }
    FT_Close(transmitterLink.deviceHandle);
    transmitterLink.deviceHandle = nullptr;
    transmitterLink.openStatus = FT_DEVICE_NOT_OPENED;
}

void setPacing(bool paced) {
    pacing = paced;
}
