#include "drive/status_text.h"

#include <cstdio>

namespace {

// The display rule: a code anywhere in a direction's range reads as that
// direction. The ranges are wider than the codes the key actions produce
// (forward codes reach only 0xA9, left ones 0x69), each ending just before
// the next multiple of 16, and stop and straight are one code each.
struct Direction {
    int lowest;
    int highest;
    const char* word;
};

constexpr Direction kSpeedDirections[] = {
    {161, 174, "Vpred"},
    {145, 158, "Vzad"},
    {128, 128, "Stuj"},
};

constexpr Direction kSteerDirections[] = {
    {97, 110, "Vlevo"},
    {81, 94, "Vpravo"},
    {64, 64, "Nenatoceno"},
};

template <std::size_t N> const char* wordFor(const Direction (&directions)[N], int code) {
    for (const Direction& direction : directions) {
        if (code >= direction.lowest && code <= direction.highest) {
            return direction.word;
        }
    }
    return nullptr;
}

} // namespace

std::string statusText(int speedCode, int steerCode, int speedMagnitude, int steerMagnitude) {
    const char* speed = wordFor(kSpeedDirections, speedCode);
    const char* steer = wordFor(kSteerDirections, steerCode);
    if (speed == nullptr || steer == nullptr) {
        return std::string();
    }
    char line[64];
    std::snprintf(line, sizeof line, " %s: %d, %s: %d\n", speed, speedMagnitude, steer,
                  steerMagnitude);
    return line;
}
