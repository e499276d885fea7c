// What travels to the transmitter, stated once: the device it is, the line
// it runs on, the codes for a level, and the command frame.
//
// A frame is three bytes with nothing between frames: the speed code, the
// steering code, and their checksum, the low 8 bits of their sum.
//
//   speed level 0  0x80 stop      +n  0xA0 + n forward   -n  0x90 + n reverse
//   steer level 0  0x40 straight  +n  0x50 + n right     -n  0x60 + n left
//
// with n from 1 to 9. A speed code always has its top bit set, a steering
// code never has, and checksums of valid pairs come out as 0xC0..0xFF or
// 0x00..0x12: the three kinds of byte never overlap.
#pragma once

#include <array>
#include <cstdint>

// The transmitter's USB description.
constexpr const char* kDeviceDescription = "dimsal";

// 1200 baud; each byte 11 bit times: start, 8 data, even parity, stop.
constexpr std::uint32_t kLineBaud = 1200;
constexpr std::int64_t kLineBitsPerByte = 11;
constexpr std::int64_t kNominalByteNs = kLineBitsPerByte * 1000000000 / kLineBaud;

// Speed and steering each have this many steps to either side of zero.
constexpr int kMaxLevel = 9;

// The frame that leaves the vehicle at rest: stop, straight.
constexpr int kRestSpeedCode = 0x80;
constexpr int kRestSteerCode = 0x40;

// The codes for a level, -kMaxLevel .. kMaxLevel.
int speedCodeFor(int speedLevel);
int steerCodeFor(int steerLevel);

// The step of a code, 0..9: its low four bits (0 for stop and straight).
int codeMagnitude(unsigned code);

// The bytes of a frame; only the low 8 bits of each code go out.
constexpr int kFrameBytes = 3;
std::array<std::uint8_t, kFrameBytes> frameBytes(int speedCode, int steerCode);

// Whether bytes are codes of the encoding, and three bytes a whole frame.
bool isSpeedCode(unsigned byte);
bool isSteerCode(unsigned byte);
bool isValidFrame(unsigned speed, unsigned steer, unsigned checksum);
