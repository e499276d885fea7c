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
//   u:MS     wait MS, and log the program's CPU time over it (in % of one core) and
//            how often a second it was put on a CPU
//   g:+      plug in a gamepad (uinput)   g:-=EXPECT  unplug it
//   g:CHANGES=EXPECT  one report of the pad: L or R (a shoulder button) 1 or 0, X or Y
//            and a value, comma-separated ("L1,Y-32768"); EXPECT the speed and
//            steering codes it should bring ("A940"), or "same"
// Log lines: "<ns> NAME key <KEYS>", "text <TEXT>" or "missed <TEXT>",
// "exit <status>", "hung", "outq <most bytes seen> <samples>", "pad <CHANGES=EXPECT>" or
// "pad failed <why>", "cpu <percent> <runs on a CPU/s>". The program's output is
// kept in /tmp/NAME.out.
#include "process/clock.h"
#include "testkit/process_cpu.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <linux/uinput.h>
#include <poll.h>
#include <random>
#include <signal.h>
#include <sstream>
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

// The gamepad of the g: steps, made through uinput: a left stick
// (-32768..32767), A and the shoulder buttons.
int padFd = -1;

bool padEmit(int type, int code, int value) {
    input_event e{};
    e.type = static_cast<__u16>(type);
    e.code = static_cast<__u16>(code);
    e.value = value;
    return write(padFd, &e, sizeof e) == static_cast<ssize_t>(sizeof e);
}

bool padCreate() {
    uinput_setup setup{};
    setup.id.bustype = BUS_USB;
    std::strcpy(setup.name, "rcdrive test pad");
    padFd = open("/dev/uinput", O_WRONLY | O_CLOEXEC);
    bool ok = padFd >= 0 && ioctl(padFd, UI_SET_EVBIT, EV_KEY) == 0 &&
              ioctl(padFd, UI_SET_EVBIT, EV_ABS) == 0;
    for (const int key : {BTN_SOUTH, BTN_TL, BTN_TR}) {
        ok = ok && ioctl(padFd, UI_SET_KEYBIT, key) == 0;
    }
    for (const int axis : {ABS_X, ABS_Y}) {
        uinput_abs_setup abs{};
        abs.code = static_cast<__u16>(axis);
        abs.absinfo = {0, -32768, 32767, 0, 0, 0};
        ok = ok && ioctl(padFd, UI_SET_ABSBIT, axis) == 0 && ioctl(padFd, UI_ABS_SETUP, &abs) == 0;
    }
    return ok && ioctl(padFd, UI_DEV_SETUP, &setup) == 0 && ioctl(padFd, UI_DEV_CREATE) == 0;
}

bool padReport(const std::string& changes) {
    std::istringstream list(changes);
    bool ok = true;
    for (std::string c; ok && std::getline(list, c, ',');) {
        const int value = std::atoi(c.c_str() + 1);
        ok = c == ""       ? false
             : c[0] == 'L' ? padEmit(EV_KEY, BTN_TL, value)
             : c[0] == 'R' ? padEmit(EV_KEY, BTN_TR, value)
             : c[0] == 'X' ? padEmit(EV_ABS, ABS_X, value)
                           : c[0] == 'Y' && padEmit(EV_ABS, ABS_Y, value);
    }
    return ok && padEmit(EV_SYN, SYN_REPORT, 0);
}

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
        const double seconds = static_cast<double>(monotonicNs() - from) / 1e9;
        const CpuSample after = sampleCpu(child);
        const std::int64_t used = cpuBetween(before, after);
        char figures[64];
        std::snprintf(figures, sizeof figures, "cpu %.2f %.1f", used / seconds / 1e7,
                      static_cast<double>(after.runs - before.runs) / seconds);
        logLine(used < 0 || before.runs < 0 ? "cpu unknown" : figures);
        break;
    }
    case 'g': {
        const bool done = arg == "+"      ? padCreate()
                          : arg[0] == '-' ? ioctl(padFd, UI_DEV_DESTROY) == 0
                                          : padReport(arg.substr(0, arg.find('=')));
        logLine(done ? "pad " + arg : "pad failed " + arg + ": " + std::strerror(errno));
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
