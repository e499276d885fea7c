#include "process/clock.h"

#include <ctime>

std::int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void sleepNs(std::int64_t ns) {
    if (ns <= 0) {
        return;
    }
    timespec span{};
    span.tv_sec = static_cast<time_t>(ns / 1000000000);
    span.tv_nsec = static_cast<long>(ns % 1000000000);
    // One nanosleep only: a signal cuts it short, so the caller sees it soon.
    nanosleep(&span, nullptr);
}
