// The console on Windows: the C runtime's _kbhit and _getch give the key codes
// the drive logic expects as they are, and the command interpreter's CLS
// clears the window.
//
// Without a console keyboard (input redirected from NUL, a file or a pipe)
// there are no keys at all: _kbhit would look at a handle that is no console.
#include "console/console.h"

#include "console/exit_signals.h"

#include <conio.h>
#include <cstdio>
#include <cstdlib>
#include <windows.h>

namespace {

constexpr DWORD kKeyPollMs = 10;

bool keyboardPresent() {
    static const bool present = [] {
        const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
        DWORD mode = 0;
        return input != nullptr && input != INVALID_HANDLE_VALUE && GetConsoleMode(input, &mode);
    }();
    return present;
}

bool keyboardTaken = false;

} // namespace

void consoleOpen() {
    // _getch already reads single keys, unechoed; Ctrl+C and Ctrl+Break stay
    // with the console and reach the exit handlers.
    keyboardTaken = keyboardPresent();
}

void consoleClose() {
    if (!keyboardTaken) {
        return;
    }
    // Keys left unread (an arrow held down when q came) must not turn up in
    // the command interpreter's input line.
    FlushConsoleInputBuffer(GetStdHandle(STD_INPUT_HANDLE));
    keyboardTaken = false;
}

void consoleRestoreFromSignal() {}

void writeText(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

void clearScreen() {
    std::fflush(stdout);
    std::system("CLS");
}

bool keyWaiting() {
    return keyboardPresent() && _kbhit() != 0;
}

int readKey() {
    while (keyboardPresent() && exitSignal() == 0) {
        if (_kbhit() != 0) {
            return _getch();
        }
        Sleep(kKeyPollMs);
    }
    return -1;
}
