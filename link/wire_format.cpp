#include "link/wire_format.h"

namespace {

constexpr int kSpeedForward = 0xA0;
constexpr int kSpeedReverse = 0x90;
constexpr int kSteerRight = 0x50;
constexpr int kSteerLeft = 0x60;

// A code with a step 1..kMaxLevel in a direction.
bool inDirection(unsigned byte, int direction) {
    return byte > static_cast<unsigned>(direction) &&
           byte <= static_cast<unsigned>(direction + kMaxLevel);
}

} // namespace

int speedCodeFor(int speedLevel) {
    if (speedLevel > 0) {
        return kSpeedForward + speedLevel;
    }
    if (speedLevel < 0) {
        return kSpeedReverse - speedLevel;
    }
    return kRestSpeedCode;
}

int steerCodeFor(int steerLevel) {
    if (steerLevel > 0) {
        return kSteerRight + steerLevel;
    }
    if (steerLevel < 0) {
        return kSteerLeft - steerLevel;
    }
    return kRestSteerCode;
}

int codeMagnitude(unsigned code) {
    return static_cast<int>(code & 0x0F);
}

std::uint8_t frameChecksum(unsigned speedCode, unsigned steerCode) {
    return static_cast<std::uint8_t>((speedCode + steerCode) & 0xFF);
}

std::array<std::uint8_t, 3> frameBytes(int speedCode, int steerCode) {
    return {static_cast<std::uint8_t>(speedCode & 0xFF),
            static_cast<std::uint8_t>(steerCode & 0xFF),
            frameChecksum(static_cast<unsigned>(speedCode), static_cast<unsigned>(steerCode))};
}

bool isSpeedCode(unsigned byte) {
    return byte == kRestSpeedCode || inDirection(byte, kSpeedForward) ||
           inDirection(byte, kSpeedReverse);
}

bool isSteerCode(unsigned byte) {
    return byte == kRestSteerCode || inDirection(byte, kSteerRight) ||
           inDirection(byte, kSteerLeft);
}

bool isValidFrame(unsigned speed, unsigned steer, unsigned checksum) {
    return isSpeedCode(speed) && isSteerCode(steer) && checksum == frameChecksum(speed, steer);
}
