// The clock on Windows: the performance counter for time, Sleep for waits.
// Sleep normally counts in whole system ticks of 15.6 ms, far too coarse for
// pacing bytes 9.2 ms apart, so the first wait asks the multimedia timer for
// 1 ms ticks (for this process; Windows drops the request when it ends).
#include "process/clock.h"

#include <windows.h>

#include <mmsystem.h>

namespace {

std::int64_t counterFrequency() {
    static const std::int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return static_cast<std::int64_t>(value.QuadPart);
    }();
    return frequency;
}

} // namespace

void useFineTicks() {
    static const bool done = [] {
        timeBeginPeriod(1);
        return true;
    }();
    (void)done;
}

std::int64_t monotonicNs() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t ticks = now.QuadPart;
    const std::int64_t frequency = counterFrequency();
    // Whole seconds and the rest apart, so that the product cannot overflow.
    return ticks / frequency * 1000000000 + ticks % frequency * 1000000000 / frequency;
}

void sleepNs(std::int64_t ns) {
    if (ns <= 0) {
        return;
    }
    useFineTicks();
    // Whole milliseconds, rounded down: with 1 ms ticks Sleep(n) lasts from n
    // to n + 1 ms, so no wait overshoots by more than a tick. A wait under a
    // millisecond only yields; callers that need the time to have passed
    // check the clock again.
    const std::int64_t ms = ns / kNsPerMs;
    Sleep(ms > 0xFFFFFFFE ? 0xFFFFFFFE : static_cast<DWORD>(ms));
}
