#include "console/gamepad_map.h"

#include <algorithm>
#include <cstdint>

namespace {

constexpr int kMaxStickLevel = 9;

// The level of a value as a share of half the travel, in hundredths of a
// percent (-10000..10000 within the range).
int levelAt(std::int64_t basisPoints) {
    const std::int64_t magnitude = basisPoints < 0 ? -basisPoints : basisPoints;
    const std::int64_t dead = kStickDeadZonePercent * 100;
    if (magnitude <= dead) {
        return 0;
    }
    // Nine equal steps beyond the dead zone, each rounded up: level n
    // reaches to dead + n steps.
    const std::int64_t travel = 10000 - dead;
    const std::int64_t level = ((magnitude - dead) * kMaxStickLevel + travel - 1) / travel;
    const int clamped = static_cast<int>(std::min<std::int64_t>(level, kMaxStickLevel));
    return basisPoints < 0 ? -clamped : clamped;
}

} // namespace

int stickLevel(int value, StickRange range, int previous) {
    const std::int64_t span = static_cast<std::int64_t>(range.maximum) - range.minimum;
    if (span <= 0) {
        return 0;
    }
    // Twice the offset from the centre over the span: exact for odd spans
    // (-32768..32767) as well as even ones (0..65535 has its centre between
    // two values).
    const std::int64_t twiceOffset = 2 * (static_cast<std::int64_t>(value) - range.minimum) - span;
    const std::int64_t basisPoints = twiceOffset * 10000 / span;
    const int level = levelAt(basisPoints);
    // Past an edge by the hysteresis, or not at all.
    const std::int64_t margin = kStickHysteresisPercent * 100;
    if (level > previous && levelAt(basisPoints - margin) <= previous) {
        return previous;
    }
    if (level < previous && levelAt(basisPoints + margin) >= previous) {
        return previous;
    }
    return level;
}

bool padCommandEmpty(const PadCommand& command) {
    return !command.rest && !command.setSpeed && !command.setSteer;
}

PadCommand mergePadCommands(const PadCommand& earlier, const PadCommand& later) {
    if (later.rest) {
        return later;
    }
    PadCommand merged = earlier;
    if (later.setSpeed) {
        merged.setSpeed = true;
        merged.speedLevel = later.speedLevel;
    }
    if (later.setSteer) {
        merged.setSteer = true;
        merged.steerLevel = later.steerLevel;
    }
    return merged;
}

PadCommand padUpdate(PadState& state, const PadReading& reading) {
    const int speedBefore = state.speedLevel;
    const int steerBefore = state.steerLevel;
    if (reading.present) {
        // Up is the minimum of the vertical axis, and forward.
        state.speedLevel = -stickLevel(reading.y, state.yRange, -state.speedLevel);
        state.steerLevel = stickLevel(reading.x, state.xRange, state.steerLevel);
    }
    const bool held = reading.present && reading.deadman;
    PadCommand command;
    if (held) {
        const bool justDown = !state.held;
        command.setSpeed = justDown || state.speedLevel != speedBefore;
        command.setSteer = justDown || state.steerLevel != steerBefore;
        command.speedLevel = state.speedLevel;
        command.steerLevel = state.steerLevel;
    } else {
        command.rest = state.held;
    }
    state.held = held;
    return command;
}
