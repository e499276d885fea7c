#include "bench/key_run.h"

#include "testkit/process_cpu.h"
#include "testkit/pty_session.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

namespace {

const std::string kUp = "\x1b[A";
const std::string kDown = "\x1b[B";
const std::string kRestStatus = " Stuj: 0, Nenatoceno: 0";
constexpr unsigned kForwardOneCode = 0xA1;
constexpr unsigned kStopCode = 0x80;
constexpr int kStartTimeoutMs = 5000;
constexpr int kExitTimeoutMs = 5000;
// How often the trace is checked for a key's frame. Only the next key waits
// on it; the latencies come from the trace's own times. Checking more often
// would only crowd a small machine.
constexpr int kPollMs = 5;

// Takes in what was appended to the trace since the last call; false if the
// file cannot be read.
bool followTrace(int fd, LineTrace& trace) {
    char buffer[16384];
    for (;;) {
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count > 0) {
            traceFeed(trace, buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        return count == 0;
    }
}

// Whether the program has ended; reaps it if so.
bool ended(PtySession& session) {
    int status = 0;
    if (session.exitStatus == -1 && waitpid(session.pid, &status, WNOHANG) == session.pid) {
        session.exitStatus = status;
    }
    return session.exitStatus != -1;
}

// How the program ended, for a message.
std::string exitText(const PtySession& session) {
    if (WIFEXITED(session.exitStatus)) {
        return ", status " + std::to_string(WEXITSTATUS(session.exitStatus));
    }
    if (WIFSIGNALED(session.exitStatus)) {
        return ", signal " + std::to_string(WTERMSIG(session.exitStatus));
    }
    return "";
}

bool fail(KeyRunResult& result, const std::string& why) {
    result.ok = false;
    result.error = why;
    return false;
}

std::string hexCode(unsigned code) {
    char text[8];
    std::snprintf(text, sizeof text, "%02X", code);
    return text;
}

// Everything between the program's start and its end; false, with the reason
// in the result, when the run cannot give honest numbers.
bool measure(PtySession& session, const std::string& tracePath, const KeyRunSettings& settings,
             KeyRunResult& result) {
    // In short steps, so that a program that ends at once is seen at once
    // rather than read from a hung-up terminal until the time is up.
    const std::int64_t statusDeadline = nowNs() + kStartTimeoutMs * 1000000LL;
    while (!waitForOutput(session, kRestStatus, 50)) {
        if (ended(session)) {
            return fail(result, "rcdrive-sim did not start: it ended before its status line" +
                                    exitText(session));
        }
        if (nowNs() >= statusDeadline) {
            return fail(result, "rcdrive-sim did not start: no status line within " +
                                    std::to_string(kStartTimeoutMs) + " ms");
        }
    }
    const int fd = open(tracePath.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return fail(result, "trace unreadable: " + tracePath + ": " + std::strerror(errno));
    }
    LineTrace trace;
    bool readable = true;
    // The stream is running once a couple of frames are on the line.
    const std::int64_t startDeadline = nowNs() + kStartTimeoutMs * 1000000LL;
    while (readable && trace.frames.size() < 2 && nowNs() < startDeadline && !ended(session)) {
        readFor(session, kPollMs);
        readable = followTrace(fd, trace);
    }
    if (!readable || trace.frames.size() < 2) {
        close(fd);
        return fail(result, "trace unreadable: no frames in " + tracePath);
    }

    std::mt19937 random(settings.seed);
    std::uniform_int_distribution<int> gapMs(settings.minGapMs, settings.maxGapMs);
    std::vector<KeyPress> presses;
    std::size_t from = 0;
    const std::int64_t startNs = nowNs();
    const CpuSample cpuStart = sampleCpu(session.pid);
    for (int i = 0; i < settings.presses; ++i) {
        const bool up = i % 2 == 0;
        KeyPress press{nowNs(), up ? kForwardOneCode : kStopCode};
        typeKeys(session, up ? kUp : kDown); // right after the clock was read
        presses.push_back(press);
        const std::int64_t deadline = press.keyNs + settings.frameTimeoutMs * 1000000LL;
        std::size_t at = kNoFrame;
        while (readable && (at = answeringFrame(trace.frames, from, press)) == kNoFrame) {
            if (nowNs() >= deadline || ended(session)) {
                close(fd);
                return fail(
                    result,
                    "key " + std::to_string(i + 1) + (up ? " (Up)" : " (Down)") +
                        ": no frame with speed " + hexCode(press.speedCode) +
                        (ended(session)
                             ? ", rcdrive-sim ended"
                             : " within " + std::to_string(settings.frameTimeoutMs) + " ms"));
            }
            readFor(session, kPollMs); // keeps the screen drained, so the program never blocks
            readable = followTrace(fd, trace);
        }
        if (!readable) {
            break;
        }
        from = at + 1;
        readFor(session, gapMs(random));
    }
    const std::int64_t endNs = nowNs();
    const CpuSample cpuEnd = sampleCpu(session.pid);

    typeKeys(session, "q");
    const bool exited = waitForExit(session, kExitTimeoutMs);
    if (!exited) {
        session.pid = -1; // killed and reaped already: nothing more to end
    }
    readable = readable && followTrace(fd, trace);
    close(fd);
    if (!readable) {
        return fail(result, "trace unreadable: read error on " + tracePath);
    }
    if (!exited || !WIFEXITED(session.exitStatus) || WEXITSTATUS(session.exitStatus) != 0) {
        return fail(result, "rcdrive-sim did not end with status 0 after q" +
                                (exited ? exitText(session) : ", killed"));
    }
    if (trace.malformedLines > 0 || trace.badFrames > 0 || trace.failedWrites > 0) {
        return fail(result, "trace unreadable: " + std::to_string(trace.malformedLines) +
                                " malformed lines, " + std::to_string(trace.badFrames) +
                                " frames with a wrong checksum, " +
                                std::to_string(trace.failedWrites) + " failed writes");
    }

    // The latencies again from the whole trace, the same rule as while driving.
    result.latencyNs = pressLatenciesNs(trace.frames, presses);
    for (std::size_t i = 0; i < result.latencyNs.size(); ++i) {
        if (result.latencyNs[i] < 0) {
            return fail(result, "key " + std::to_string(i + 1) + " has no frame in the trace");
        }
    }
    if (static_cast<int>(result.latencyNs.size()) != settings.presses) {
        return fail(result, std::to_string(result.latencyNs.size()) + " latencies for " +
                                std::to_string(settings.presses) + " presses");
    }
    for (const KeyPress& press : presses) {
        result.pressAtNs.push_back(press.keyNs - startNs);
    }
    result.line = lineUse(trace, startNs, endNs, settings.rateErrorPpm);
    result.drivingSeconds = static_cast<double>(endNs - startNs) / 1e9;
    const std::int64_t cpuNs = cpuBetween(cpuStart, cpuEnd);
    if (cpuNs < 0) {
        return fail(result, "CPU time of rcdrive-sim unreadable in /proc");
    }
    result.cpuFraction = static_cast<double>(cpuNs) / static_cast<double>(endNs - startNs);
    if (cpuStart.waitNs >= 0 && cpuEnd.waitNs >= 0) {
        result.cpuWaitFraction = static_cast<double>(cpuEnd.waitNs - cpuStart.waitNs) /
                                 static_cast<double>(endNs - startNs);
    }
    if (result.line.bytes == 0) {
        return fail(result, "no bytes on the line while driving");
    }
    result.ok = true;
    return true;
}

} // namespace

KeyRunResult runKeyPresses(const KeyRunSettings& settings) {
    KeyRunResult result;
    if (access(settings.simPath.c_str(), X_OK) != 0) {
        fail(result, "rcdrive-sim did not start: cannot run " + settings.simPath + ": " +
                         std::strerror(errno));
        return result;
    }
    const std::string tracePath = tempPath("bench-trace");
    std::vector<std::string> argv = {settings.simPath,
                                     "--trace",
                                     tracePath,
                                     "--fifo",
                                     std::to_string(settings.fifoBytes),
                                     "--rate-error",
                                     std::to_string(settings.rateErrorPpm)};
    if (!settings.paced) {
        argv.push_back("--unpaced");
    }
    PtySession session = startInPty(argv);
    if (session.pid <= 0) {
        fail(result, "rcdrive-sim did not start: no pseudo-terminal or no fork");
    } else {
        measure(session, tracePath, settings, result);
    }
    endSession(session);
    unlink(tracePath.c_str());
    return result;
}
