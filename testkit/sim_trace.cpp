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

std::vector<unsigned> lastFrame(const std::vector<unsigned>& bytes) {
    const std::size_t end = bytes.size() - bytes.size() % 3;
    return end == 0 ? std::vector<unsigned>()
                    : std::vector<unsigned>(bytes.begin() + end - 3, bytes.begin() + end);
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
