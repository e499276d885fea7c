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

// The code for a level: the rest code at 0, else the direction's base plus
// the step.
int codeFor(int level, int rest, int positiveBase, int negativeBase) {
    if (level > 0) {
        return positiveBase + level;
    }
    if (level < 0) {
        return negativeBase - level;
    }
    return rest;
}

std::uint8_t checksumOf(unsigned speedCode, unsigned steerCode) {
    return static_cast<std::uint8_t>((speedCode + steerCode) & 0xFF);
}

} // namespace

int speedCodeFor(int speedLevel) {
    return codeFor(speedLevel, kRestSpeedCode, kSpeedForward, kSpeedReverse);
}

int steerCodeFor(int steerLevel) {
    return codeFor(steerLevel, kRestSteerCode, kSteerRight, kSteerLeft);
}

int codeMagnitude(unsigned code) {
    return static_cast<int>(code & 0x0F);
}

std::array<std::uint8_t, kFrameBytes> frameBytes(int speedCode, int steerCode) {
    return {static_cast<std::uint8_t>(speedCode & 0xFF),
            static_cast<std::uint8_t>(steerCode & 0xFF),
            checksumOf(static_cast<unsigned>(speedCode), static_cast<unsigned>(steerCode))};
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
    return isSpeedCode(speed) && isSteerCode(steer) && checksum == checksumOf(speed, steer);
}
