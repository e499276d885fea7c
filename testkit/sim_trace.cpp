#include "testkit/sim_trace.h"

#include "testkit/pty_session.h"

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
