// The transmitter behind its USB serial chip: opening it, setting the line,
// and the command frames that travel over it.
#pragma once

#include "link/d2xx.h"

#include <array>
#include <cstdint>

struct TransmitterLink {
    FT_HANDLE deviceHandle; // valid while openStatus is FT_OK
    FT_STATUS openStatus;   // status of the latest open attempt
};

// The one transmitter link of the process.
extern TransmitterLink transmitterLink;

// The transmitter's USB description.
constexpr const char* kDeviceDescription = "dimsal";

// The frame that leaves the vehicle at rest: stop, straight.
constexpr int kRestSpeedCode = 0x80;
constexpr int kRestSteerCode = 0x40;

// One open attempt by description; never waits and writes nothing.
FT_STATUS openTransmitter();

// 1200 baud, 8 data bits, one stop bit, even parity.
void configureLine();

// Writes the low 8 bits of value, in a write call of its own.
void sendByte(int value);

// Speed code, steering code, checksum: three one-byte writes.
void sendFrame(int speedCode, int steerCode);

// Closes the device; later calls do nothing.
void closeTransmitter();

// The bytes of a command frame; the checksum is the low 8 bits of the sum.
std::array<std::uint8_t, 3> commandFrame(int speedCode, int steerCode);

// Writes are paced to the line unless this is turned off (for comparison).
void setPacing(bool paced);
