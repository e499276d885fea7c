#include "link/pacer.h"

#include <algorithm>

std::int64_t pacerWaitNs(const Pacer& pacer, std::int64_t nowNs) {
    if (pacer.lineFreeNs == INT64_MIN) {
        return 0;
    }
    return std::max<std::int64_t>(0, pacer.lineFreeNs - kPaceLeadNs - nowNs);
}

void pacerWrote(Pacer& pacer, std::int64_t nowNs) {
    // After a stall the line has idled: the estimate restarts from now rather
    // than owing the line the bytes it missed, so no burst follows.
    pacer.lineFreeNs = std::max(pacer.lineFreeNs, nowNs) + kPacedByteNs;
}

void pacerResume(Pacer& pacer, std::int64_t nowNs, int bytesAhead) {
    pacer.lineFreeNs = nowNs + bytesAhead * kPacedByteNs;
}

std::int64_t pacerLineClearNs(const Pacer& pacer) {
    return pacer.lineFreeNs;
}
