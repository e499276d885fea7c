#include "console/exit_signals.h"

#include "console/console.h"

#include <csignal>
#include <initializer_list>

namespace {

volatile sig_atomic_t requestedSignal = 0;

void onExitRequest(int signal) {
    if (requestedSignal == 0) {
        requestedSignal = signal;
    }
}

// A crash must not leave the terminal raw; the signal then takes its course.
void onCrash(int signal) {
    consoleRestoreFromSignal();
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void install(int signal, void (*handler)(int), int flags) {
    struct sigaction action = {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a wait in progress returns at once with EINTR.
    action.sa_flags = flags;
    sigaction(signal, &action, nullptr);
}

} // namespace

void installExitHandlers() {
    install(SIGINT, onExitRequest, 0);
    install(SIGTERM, onExitRequest, 0);
    install(SIGHUP, onExitRequest, 0);
    // Output to a closed pipe fails with EPIPE instead of ending the process.
    install(SIGPIPE, SIG_IGN, 0);
    for (int signal : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
        install(signal, onCrash, SA_RESETHAND);
    }
}

int exitSignal() {
    return requestedSignal;
}

int exitStatusForSignal(int signal) {
    return signal == 0 ? 0 : 128 + signal;
}

void shutdownComplete() {}
