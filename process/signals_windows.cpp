// Requests to end the program on Windows arrive as console control events,
// each on a thread of its own. Ctrl+C and Ctrl+Break only record the request.
// Closing the console window (and logging off or shutting down) ends the
// process as soon as the handler returns, so that handler also waits for the
// drive loop to leave the vehicle at rest and close the device first.
#include "process/signals.h"

#include <atomic>
#include <cstdlib>
#include <windows.h>

namespace {

// The C runtime's numbers for the events, as exitSignal() reports them.
constexpr int kSigInt = 2;
constexpr int kSigTerm = 15;
constexpr int kSigBreak = 21;

// Windows gives a closing console's processes about 5 s before it ends them.
constexpr DWORD kCloseWaitMs = 4500;

// What Windows itself reports for a process ended by Ctrl+C.
constexpr unsigned kStatusControlCExit = 0xC000013A;

std::atomic<int> requestedSignal{0};
HANDLE shutdownDone = nullptr;
HANDLE requestWake = nullptr; // set with the first request; wakes the console's wait
std::atomic<bool> libraryCallLeftRunning{false};

void request(int signal) {
    int none = 0;
    requestedSignal.compare_exchange_strong(none, signal);
    if (requestWake != nullptr) {
        SetEvent(requestWake);
    }
}

BOOL WINAPI onConsoleEvent(DWORD event) {
    switch (event) {
    case CTRL_C_EVENT:
        request(kSigInt);
        return TRUE;
    case CTRL_BREAK_EVENT:
        request(kSigBreak);
        return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
        request(kSigTerm);
        if (shutdownDone != nullptr) {
            WaitForSingleObject(shutdownDone, kCloseWaitMs);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

// A crash on Windows leaves the console as it is: nothing to put back.
void setCrashCleanup(void (*)()) {}

void installExitHandlers() {
    if (shutdownDone == nullptr) {
        shutdownDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (requestWake == nullptr) {
        requestWake = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

int exitSignal() {
    return requestedSignal.load();
}

bool exitRequested() {
    return requestedSignal.load() != 0;
}

void requestExit(int signal) {
    request(signal);
}

// A Windows console has no job control: nothing suspends or continues the
// program from outside.
void installJobControlHandlers() {}

bool takeSuspendRequest() {
    return false;
}

bool takeContinued() {
    return false;
}

void suspendProcess() {}

bool takeResized() {
    return false;
}

void* requestWakeEvent() {
    return requestWake;
}

int exitStatusForSignal(int signal) {
    return signal == 0 ? 0 : static_cast<int>(kStatusControlCExit);
}

void shutdownComplete() {
    if (shutdownDone != nullptr) {
        SetEvent(shutdownDone);
    }
}

void setLibraryCallLeftRunning(bool running) {
    libraryCallLeftRunning = running;
}

// Returning from main ends the process through ExitProcess, which stops the
// other threads where they stand and then runs every DLL's detach code; code
// there that waits for a lock a stopped thread held never returns. With a
// call left inside a library, the process is terminated instead, as Windows
// advises where the state of a thread is not known: no DLL code runs, and
// ours has all run by now.
void exitProcess(int status) {
    if (libraryCallLeftRunning) {
        TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
    }
    std::exit(status);
}
