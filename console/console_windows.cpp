// The console on Windows: the C runtime's _kbhit and _getch give the key codes
// the drive logic expects as they are, and the console API clears the window.
//
// Without a console keyboard (input redirected from NUL, a file or a pipe)
// there are no keys at all: _kbhit would look at a handle that is no console.
//
// While QuickEdit is on, selecting text in the window holds every console
// write until the selection ends; the program switches it off while it runs
// and puts the console's input mode back exactly as it was when it ends.
#include "console/console.h"

#include "process/clock.h"
#include "process/signals.h"

#include <conio.h>
#include <cstdio>
#include <cstring>
#include <windows.h>

#include <mmsystem.h>

namespace {

// A wait ends at least this often, whatever it waits for.
constexpr std::int64_t kLongestWaitMs = 50;

HANDLE inputHandle() {
    return GetStdHandle(STD_INPUT_HANDLE);
}

bool keyboardPresent() {
    static const bool present = [] {
        const HANDLE input = inputHandle();
        DWORD mode = 0;
        return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode);
    }();
    return present;
}

bool keyboardTaken = false;
DWORD savedInputMode = 0;

// _kbhit looks only for key presses; mouse, focus, size and key-release
// records stay in the buffer and would keep the input handle signalled,
// turning every wait into a spin. Those at the front are read off here.
void dropNonKeyRecords() {
    const HANDLE input = inputHandle();
    for (;;) {
        INPUT_RECORD record;
        DWORD count = 0;
        if (!PeekConsoleInputA(input, &record, 1, &count) || count == 0) {
            return;
        }
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) {
            return;
        }
        ReadConsoleInputA(input, &record, 1, &count);
    }
}

} // namespace

void consoleOpen() {
    // _getch already reads single keys, unechoed; Ctrl+C and Ctrl+Break stay
    // with the console and reach the exit handlers.
    keyboardTaken = keyboardPresent() && GetConsoleMode(inputHandle(), &savedInputMode);
    if (keyboardTaken) {
        SetConsoleMode(inputHandle(),
                       (savedInputMode & ~ENABLE_QUICK_EDIT_MODE) | ENABLE_EXTENDED_FLAGS);
    }
}

void consoleClose() {
    if (!keyboardTaken) {
        return;
    }
    // Keys left unread (an arrow held down when q came) must not turn up in
    // the command interpreter's input line.
    FlushConsoleInputBuffer(inputHandle());
    SetConsoleMode(inputHandle(), savedInputMode);
    keyboardTaken = false;
}

// Windows consoles have no job control: nothing to give back for a while.
void consoleSuspend() {}
void consoleResume() {}

void consoleRestoreFromSignal() {}

// To a console in one call: the C runtime's way there takes many times as
// long, and the line waits meanwhile. A file or a pipe gets the text through
// the C runtime, with its line ends as Windows has them.
void writeText(const char* text) {
    std::fflush(stdout);
    DWORD written = 0;
    if (WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
                      &written, nullptr)) {
        return;
    }
    std::fputs(text, stdout);
    std::fflush(stdout);
}

// The same as CLS, within the process: starting the command interpreter for
// it would take tens of milliseconds, several byte times in which the line
// waits. The whole buffer is blanked in the current colours and the cursor
// goes home. Output that is no console (a file or a pipe) gets nothing.
void clearScreen() {
    std::fflush(stdout);
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    CONSOLE_SCREEN_BUFFER_INFO screen;
    if (!GetConsoleScreenBufferInfo(output, &screen)) {
        return;
    }
    const DWORD cells = static_cast<DWORD>(screen.dwSize.X) * static_cast<DWORD>(screen.dwSize.Y);
    const COORD home = {0, 0};
    DWORD done = 0;
    FillConsoleOutputCharacterA(output, ' ', cells, home, &done);
    FillConsoleOutputAttribute(output, screen.wAttributes, cells, home, &done);
    SetConsoleCursorPosition(output, home);
}

bool keyWaiting() {
    return keyboardPresent() && _kbhit() != 0;
}

bool keyQueued() {
    return keyWaiting();
}

// A console's keyboard never ends.
bool keyInputEnded() {
    return false;
}

int readKey() {
    while (keyboardPresent() && exitSignal() == 0) {
        if (_kbhit() != 0) {
            return _getch();
        }
        waitForInput(monotonicNs() + kLongestWaitMs * kNsPerMs);
    }
    return -1;
}

void waitForInput(std::int64_t untilNs) {
    const std::int64_t leftNs = untilNs - monotonicNs();
    if (leftNs <= 0) {
        return;
    }
    // Rounded up: waking a little late is covered by the pacer's lead, waking
    // early would only come back here.
    std::int64_t ms = (leftNs + kNsPerMs - 1) / kNsPerMs;
    ms = ms < kLongestWaitMs ? ms : kLongestWaitMs;
    HANDLE handles[2];
    DWORD count = 0;
    if (requestWakeEvent() != nullptr) {
        handles[count++] = static_cast<HANDLE>(requestWakeEvent());
    }
    const bool watchKeys = keyboardPresent() && _kbhit() == 0;
    if (watchKeys) {
        handles[count++] = inputHandle();
    }
    if (count == 0) {
        sleepNs(ms * kNsPerMs);
        return;
    }
    // Waits count in 1 ms ticks rather than the default 15.6 ms, as sleeps do.
    static const MMRESULT fineTicks = timeBeginPeriod(1);
    (void)fineTicks;
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(ms));
    if (watchKeys && woke == WAIT_OBJECT_0 + count - 1 && _kbhit() == 0) {
        dropNonKeyRecords();
    }
}
