#include "testkit/sim_trace.h"

#include "testkit/pty_session.h"

#include <algorithm>
#include <unistd.h>

std::vector<unsigned> acceptedBytes(const std::vector<TraceRecord>& trace) {
    std::vector<unsigned> bytes;
    for (const TraceRecord& record : trace) {
        if (isAcceptedWrite(record)) {
            bytes.push_back(record.values[0]);
        }
    }
    return bytes;
}

std::vector<unsigned> lastFrame(const std::vector<unsigned>& bytes) {
    const std::size_t end = bytes.size() - bytes.size() % 3;
    return end == 0 ? std::vector<unsigned>()
                    : std::vector<unsigned>(bytes.begin() + end - 3, bytes.begin() + end);
}

std::int64_t frameWithSpeedNs(const std::vector<TraceRecord>& trace, unsigned speed,
                              std::int64_t fromNs) {
    std::vector<const TraceRecord*> bytes;
    for (const TraceRecord& record : trace) {
        if (isAcceptedWrite(record)) {
            bytes.push_back(&record);
        }
    }
    for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
        if (bytes[i]->t >= fromNs && bytes[i]->values[0] == speed) {
            return bytes[i]->t;
        }
    }
    return -1;
}

std::int64_t longestGapNs(const std::vector<TraceRecord>& trace, std::int64_t fromNs) {
    std::int64_t last = 0;
    std::int64_t longest = 0;
    for (const TraceRecord& record : trace) {
        if (isAcceptedWrite(record) && record.t > fromNs) {
            longest = std::max(longest, last == 0 ? 0 : record.t - last);
            last = record.t;
        }
    }
    return longest;
}

bool waitForBytes(const std::string& tracePath, std::size_t count, int timeoutMs) {
    const std::int64_t deadline = nowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    while (acceptedBytes(readTraceFile(tracePath)).size() < count) {
        if (nowNs() >= deadline) {
            return false;
        }
        usleep(10000);
    }
    return true;
}
