#include "sim/trace_file.h"

#include "process/clock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

namespace {

constexpr std::int64_t kFinalWaitNs = 50 * kNsPerMs;
// EINTR retries a write gets: a signal that keeps coming must not hold the
// program in one write.
constexpr int kWriteRetries = 3;

int traceFd = -1;
std::string held; // lines the reader has not taken yet

// Writes what the reader takes now; false when it takes no more.
bool writeHeld() {
    int retries = kWriteRetries;
    while (!held.empty()) {
        const ssize_t done = write(traceFd, held.data(), held.size());
        if (done > 0) {
            held.erase(0, static_cast<std::size_t>(done));
        } else if (!(done < 0 && errno == EINTR && retries-- > 0)) {
            return false;
        }
    }
    return true;
}

} // namespace

bool openTraceFile(const std::string& path, std::string& error) {
    // Non-blocking, so that a FIFO nobody reads never holds the program. A
    // FIFO with no reader yet cannot be opened for writing alone; opened for
    // both, it takes the lines until a reader comes for them.
    traceFd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK | O_CLOEXEC, 0666);
    if (traceFd < 0 && errno == ENXIO) {
        traceFd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (traceFd < 0) {
        error = "cannot write trace " + path + ": " + std::strerror(errno);
        return false;
    }
    // The room for held lines is taken now, so that holding them never
    // needs memory later, when there may be none.
    held.clear();
    try {
        held.reserve(kTraceHoldBytes);
    } catch (const std::bad_alloc&) {
        // Then lines a reader does not take at once are lost instead.
    }
    return true;
}

void writeTraceLine(const char* line, std::size_t length) {
    if (traceFd < 0) {
        return;
    }
    if (held.size() + length <= held.capacity()) {
        held.append(line, length);
    }
    if (!writeHeld() && errno != EAGAIN) {
        held.clear(); // a reader that has gone, a full disk: nowhere to go
    }
}

void closeTraceFile() {
    if (traceFd < 0) {
        return;
    }
    const std::int64_t deadline = monotonicNs() + kFinalWaitNs;
    while (!writeHeld() && errno == EAGAIN) {
        const std::int64_t left = deadline - monotonicNs();
        if (left <= 0) {
            break;
        }
        pollfd output = {traceFd, POLLOUT, 0};
        poll(&output, 1, static_cast<int>((left + kNsPerMs - 1) / kNsPerMs));
    }
    close(traceFd);
    traceFd = -1;
    held.clear();
}
