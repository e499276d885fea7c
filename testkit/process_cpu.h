// How much CPU time a process has used, read from /proc (Linux): for the
// end-to-end tests and the benchmark, which watch rcdrive-sim from outside.
#pragma once

#include <cstdint>
#include <sys/types.h>

// CPU time of a process so far. /proc/<pid>/schedstat gives its time on a CPU
// in nanoseconds; /proc/<pid>/stat its user and system time in clock ticks,
// the fallback where schedstat is missing or reads zero.
struct CpuSample {
    std::int64_t schedNs = -1;
    std::int64_t statNs = -1;
    std::int64_t waitNs = -1; // ready to run, but waiting for a CPU
    std::int64_t runs = -1;   // times it was put on a CPU: its wake-ups and more
};

CpuSample sampleCpu(pid_t pid);

// CPU time between two samples; -1 if neither source could be read.
std::int64_t cpuBetween(const CpuSample& from, const CpuSample& to);
