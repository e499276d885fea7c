#include "process/signals.h"

#include "process/descriptors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <initializer_list>
#include <unistd.h>

namespace {

volatile sig_atomic_t requestedSignal = 0;
volatile sig_atomic_t suspendRequested = 0;
volatile sig_atomic_t continued = 0;
// Set by a continue, cleared by a request to suspend: a continue that came
// after the request and before the suspend means the suspend is not wanted.
volatile sig_atomic_t continuedSinceRequest = 0;
volatile sig_atomic_t resized = 0;
int wakePipe[2] = {-1, -1};
void (*crashCleanup)() = nullptr;
std::atomic<bool> libraryCallLeftRunning{false};

// Signals that suspend a process, and those that mean a fault in
// the program itself; every other signal whose default action ends the
// process is a request to end, and takes the orderly way out.
constexpr int kSuspendSignals[] = {SIGTSTP, SIGTTIN, SIGTTOU};
constexpr int kCrashSignals[] = {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL, SIGSYS, SIGTRAP};
constexpr int kEndingSignals[] = {
    SIGINT,    SIGTERM,   SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,
    SIGALRM,   SIGVTALRM, SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
};

void wake() {
    const int savedErrno = errno;
    if (wakePipe[1] >= 0) {
        const char byte = 0;
        // A full pipe already wakes the wait; nothing is lost by dropping.
        (void)!write(wakePipe[1], &byte, 1);
    }
    errno = savedErrno;
}

void onExitRequest(int signal) {
    if (requestedSignal == 0) {
        requestedSignal = signal;
    }
    wake();
}

void onSuspendRequest(int) {
    suspendRequested = 1;
    continuedSinceRequest = 0;
    wake();
}

void onContinue(int) {
    continued = 1;
    continuedSinceRequest = 1;
    wake();
}

void onResize(int) {
    resized = 1;
    wake();
}

// A crash must not leave the terminal raw; the signal then takes its course.
void onCrash(int signal) {
    if (crashCleanup != nullptr) {
        crashCleanup();
    }
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

bool isEndingSignal(int signal) {
    for (int ending : kEndingSignals) {
        if (signal == ending) {
            return true;
        }
    }
    return signal >= SIGRTMIN && signal <= SIGRTMAX;
}

// The signals whose handlers record requests; each handler runs with the
// others held, so that a suspend request and a continue never interleave.
sigset_t handledSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal = 1; signal < NSIG; ++signal) {
        if (isEndingSignal(signal)) {
            sigaddset(&set, signal);
        }
    }
    for (int signal : kSuspendSignals) {
        sigaddset(&set, signal);
    }
    sigaddset(&set, SIGCONT);
    sigaddset(&set, SIGWINCH);
    return set;
}

void install(int signal, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_mask = handledSignals();
    // No SA_RESTART: a wait in progress returns at once with EINTR.
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
    // A signal blocked by whoever started the program would never reach
    // its handler: the program could not be ended or suspended by it.
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, signal);
    sigprocmask(SIG_UNBLOCK, &one, nullptr);
}

// Whether a handler set the flag since the last look; clears it.
bool takeFlag(volatile sig_atomic_t& flag) {
    if (!flag) {
        return false;
    }
    flag = 0;
    return true;
}

// Without the pipe, a request that comes just before the wait begins is
// seen when the wait next ends, within its longest time.
void makeWakePipe() {
    if (wakePipe[0] >= 0 || pipe(wakePipe) != 0) {
        return;
    }
    if (!essentialDescriptorsFree()) {
        close(wakePipe[0]);
        close(wakePipe[1]);
        wakePipe[0] = wakePipe[1] = -1;
        return;
    }
    for (int fd : wakePipe) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
}

} // namespace

void setCrashCleanup(void (*cleanup)()) {
    crashCleanup = cleanup;
}

void installExitHandlers() {
    makeWakePipe();
    for (int signal : kEndingSignals) {
        install(signal, onExitRequest, 0);
    }
    for (int signal = SIGRTMIN; signal <= SIGRTMAX; ++signal) {
        install(signal, onExitRequest, 0);
    }
    // Output to a closed pipe fails with EPIPE instead of ending the process.
    install(SIGPIPE, SIG_IGN, 0);
    for (int signal : kCrashSignals) {
        install(signal, onCrash, SA_RESETHAND);
    }
}

void installJobControlHandlers() {
    makeWakePipe();
    for (int signal : kSuspendSignals) {
        install(signal, onSuspendRequest, 0);
    }
    install(SIGCONT, onContinue, 0);
    install(SIGWINCH, onResize, 0);
}

int exitSignal() {
    return requestedSignal;
}

bool exitRequested() {
    return requestedSignal != 0;
}

void requestExit(int signal) {
    onExitRequest(signal);
}

bool takeSuspendRequest() {
    return takeFlag(suspendRequested);
}

bool takeContinued() {
    return takeFlag(continued);
}

bool takeResized() {
    return takeFlag(resized);
}

void suspendProcess() {
    // With the handled signals held, what came in since the request to
    // suspend is looked at once more: a request to end wins over it, and a
    // continue that came meanwhile has already undone it. Anything that
    // arrives after this look stays pending and is handled once continued.
    const sigset_t held = handledSignals();
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &held, &previous);
    sigset_t pending;
    sigpending(&pending);
    bool ask = requestedSignal == 0 && !continuedSinceRequest && !sigismember(&pending, SIGCONT);
    for (int signal = 1; ask && signal < NSIG; ++signal) {
        ask = !(sigismember(&pending, signal) == 1 && isEndingSignal(signal));
    }
    if (ask) {
        // SIGSTOP, not SIGTSTP: it stops the process whatever its parent
        // is; a process group without a job-control shell above it
        // discards SIGTSTP.
        kill(getpid(), SIGSTOP);
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

int exitStatusForSignal(int signal) {
    return signal == 0 ? 0 : 128 + signal;
}

void shutdownComplete() {}

void setLibraryCallLeftRunning(bool running) {
    libraryCallLeftRunning = running;
}

void exitProcess(int status) {
    if (libraryCallLeftRunning) {
        _exit(status);
    }
    std::exit(status);
}

int requestWakeFd() {
    return wakePipe[0];
}

void clearRequestWake() {
    char bytes[64];
    while (wakePipe[0] >= 0 && read(wakePipe[0], bytes, sizeof bytes) > 0) {
    }
}
