// kernel-operator: runs a program with keys through a pipe, as an operator
// at its keyboard would, and logs what it did with the monotonic time, in
// the same log as the emulated chips.
//
//   kernel-operator LOG NAME STEP... -- PROGRAM ARG...
//
// Steps, in order:
//   k:KEYS   type KEYS (\e is Esc)        s:MS    wait MS
//   c:LINE   a command to the chips       w:TEXT  wait up to 10 s for TEXT in the output
//   p:N      N presses of Up and Down in turn, 60 to 180 ms apart
//   o:DEV    from now on, sample DEV's output queue (TIOCOUTQ) every millisecond;
//   o:       stop, log the most seen, and close DEV (a port open here is not closed
//            when the program closes it)
//   t:       SIGTERM to the program       x:MS    wait up to MS for the program to end
//   u:MS     wait MS, and log the program's CPU time over it (in % of one core)
//   g:+      plug in a gamepad (uinput)   g:-=EXPECT  unplug it
//   g:CHANGES=EXPECT  one report of the pad (uinput_pad.h), EXPECT the speed and
//            steering codes it should bring ("A940"), or "same"
// Log lines: "<ns> NAME key <KEYS>", "text <TEXT>" or "missed <TEXT>",
// "exit <status>", "hung", "outq <most bytes seen> <samples>", "pad <CHANGES=EXPECT>" or
// "pad failed <why>", "cpu <percent>". The program's output is
// kept in /tmp/NAME.out.
#include "process/clock.h"
#include "testkit/process_cpu.h"
#include "tests/kernel/uinput_pad.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <poll.h>
#include <random>
#include <signal.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::FILE* logFile = nullptr;
std::string name;
pid_t child = -1;
int keys = -1, output = -1;
std::string seen;
std::size_t waitedUpTo = 0;
int queueFd = -1, mostQueued = -1;
long queueSamples = 0;
bool ended = false;

void logLine(const std::string& text) {
    std::fprintf(logFile, "%lld %s %s\n", static_cast<long long>(monotonicNs()), name.c_str(),
                 text.c_str());
}

// Takes in output, watches the output queue and the program's end, until
// untilNs or until done() holds.
void pump(std::int64_t untilNs, const std::function<bool()>& done = nullptr) {
    do {
        pollfd p{output, POLLIN, 0};
        if (poll(&p, 1, 1) > 0) {
            char buffer[4096];
            const ssize_t n = read(output, buffer, sizeof buffer);
            seen.append(buffer, n > 0 ? static_cast<std::size_t>(n) : 0);
        }
        int queued = 0;
        if (queueFd >= 0 && ioctl(queueFd, TIOCOUTQ, &queued) == 0) {
            mostQueued = std::max(mostQueued, queued);
            ++queueSamples;
        }
        int status = 0;
        if (!ended && waitpid(child, &status, WNOHANG) == child) {
            ended = true;
            logLine("exit " + std::to_string(WIFEXITED(status) ? WEXITSTATUS(status)
                                                               : 128 + WTERMSIG(status)));
        }
    } while (!(done && done()) && monotonicNs() < untilNs);
}

void type(const std::string& text) {
    std::string bytes;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool esc = text.compare(i, 2, "\\e") == 0;
        bytes += esc ? '\x1b' : text[i];
        i += esc ? 1 : 0;
    }
    if (write(keys, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size())) {
        logLine("key " + text);
    }
}

void step(const std::string& s) {
    const std::string arg = s.substr(2);
    const std::int64_t argNs = std::atoll(arg.c_str()) * kNsPerMs;
    switch (s[0]) {
    case 'k':
        type(arg);
        break;
    case 's':
        pump(monotonicNs() + argNs);
        break;
    case 'c':
        std::ofstream(std::getenv("FT232R_CONTROL")) << arg << '\n';
        break;
    case 'w': {
        pump(monotonicNs() + 10000 * kNsPerMs,
             [&] { return seen.find(arg, waitedUpTo) != std::string::npos; });
        const std::size_t at = seen.find(arg, waitedUpTo);
        logLine((at == std::string::npos ? "missed " : "text ") + arg);
        waitedUpTo = at == std::string::npos ? seen.size() : at + arg.size();
        break;
    }
    case 'p': {
        std::mt19937 random(18);
        for (int i = 0; i < std::atoi(arg.c_str()); ++i) {
            type(i % 2 == 0 ? "\\e[A" : "\\e[B");
            pump(monotonicNs() + (60 + random() % 121) * kNsPerMs);
        }
        break;
    }
    case 'o':
        if (arg.empty()) {
            logLine("outq " + std::to_string(mostQueued) + " " + std::to_string(queueSamples));
            close(queueFd);
            queueFd = -1;
        } else if ((queueFd = open(arg.c_str(), O_RDWR | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)) < 0) {
            logLine("cannot open " + arg + ": " + std::strerror(errno));
        }
        break;
    case 't':
        kill(child, SIGTERM);
        break;
    case 'u': {
        const CpuSample before = sampleCpu(child);
        const std::int64_t from = monotonicNs();
        pump(from + argNs);
        const std::int64_t used = cpuBetween(before, sampleCpu(child));
        char percent[32];
        std::snprintf(percent, sizeof percent, "%.2f",
                      100.0 * static_cast<double>(used) /
                          static_cast<double>(monotonicNs() - from));
        logLine(std::string("cpu ") + (used < 0 ? "unknown" : percent));
        break;
    }
    case 'g': {
        std::string why;
        if (arg == "+"      ? !padCreate(&why)
            : arg[0] == '-' ? (padRemove(), false)
                            : !padReport(arg.substr(0, arg.find('=')))) {
            logLine("pad failed " + (why.empty() ? arg : why));
        } else {
            logLine("pad " + arg);
        }
        break;
    }
    case 'x':
        pump(monotonicNs() + argNs, [] { return ended; });
        break;
    }
}

} // namespace

int main(int argc, char** argv) {
    int split = 3;
    while (split < argc && std::strcmp(argv[split], "--") != 0) {
        ++split;
    }
    if (argc < 4 || split + 1 >= argc) {
        std::fprintf(stderr, "usage: kernel-operator LOG NAME STEP... -- PROGRAM ARG...\n");
        return 2;
    }
    logFile = std::fopen(argv[1], "ae");
    name = argv[2];
    setvbuf(logFile, nullptr, _IOLBF, 0);
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) {
        return 1;
    }
    child = fork();
    if (child == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(out[1], 2);
        execv(argv[split + 1], argv + split + 1);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    keys = in[1];
    output = out[0];
    signal(SIGPIPE, SIG_IGN);
    logLine("start");
    for (int i = 3; i < split; ++i) {
        step(argv[i]);
    }
    if (!ended) {
        logLine("hung");
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    std::ofstream("/tmp/" + name + ".out") << seen;
    return 0;
}
