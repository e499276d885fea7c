#include "trace/trace_file.h"

#include "process/clock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
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

// Gives the trace up again after a failed open.
bool refuseTrace(std::string& error, const std::string& reason) {
    error = reason;
    close(traceFd);
    traceFd = -1;
    return false;
}

} // namespace

bool openTraceFile(const std::string& path, std::string& error, bool& busy) {
    busy = false;
    // Non-blocking, so that a FIFO nobody reads never holds the program. A
    // FIFO with no reader yet cannot be opened for writing alone; opened for
    // both, it takes the lines until a reader comes for them. Not emptied
    // yet: a trace that another run writes is left as it is.
    traceFd = open(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (traceFd < 0 && errno == ENXIO) {
        traceFd = open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    }
    if (traceFd < 0) {
        error = "cannot write trace " + path + ": " + std::strerror(errno);
        return false;
    }
    // Held until the trace is closed, or the process ends. A file system
    // that has no locks at all is written unlocked.
    if (flock(traceFd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        busy = true;
        return refuseTrace(error, "trace " + path +
                                      " is being written by another run: give each run its own");
    }
    struct stat st {};
    if (fstat(traceFd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(traceFd, 0) != 0) {
        return refuseTrace(error, "cannot empty trace " + path + ": " + std::strerror(errno));
    }
    // The room for held lines is taken now, so that holding them never
    // needs memory later, when there may be none.
    held.clear();
    try {
        held.reserve(kTraceHoldBytes);
    } catch (const std::bad_alloc&) {
        return refuseTrace(error, "trace " + path + ": no memory for the " +
                                      std::to_string(kTraceHoldBytes) +
                                      " bytes that hold lines a reader has not taken yet");
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
