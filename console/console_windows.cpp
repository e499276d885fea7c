// The console on Windows: the C runtime's _kbhit and _getch give the key codes
// the drive logic expects as they are, and the console API clears the window.
//
// Wine's _kbhit looks only for key records that carry a character, and never
// at the newest record, so an arrow or PgDn alone would wait there until an
// ordinary key came after it. The console's input records are looked at here
// too: a key-down record that gives a character or is a grey key counts as a
// key waiting, as Windows' own _kbhit counts it, and one the C runtime did
// not see is read here and turned into the codes _getch gives for it.
//
// Without a console keyboard (input redirected from NUL, a file or a pipe)
// there are no keys at all: _kbhit would look at a handle that is no console.
//
// While QuickEdit is on, selecting text in the window holds every console
// write until the selection ends; the program switches it off while it runs
// and puts the console's input mode back exactly as it was when it ends.
//
// Output that is no console (a pipe or a file) may be slow, full or gone: a
// thread of its own writes it, so that a write that blocks holds only that
// thread. Text waits for it up to kHeldOutputBytes; beyond that it is
// dropped, and once the thread has caught up, the text since the last clear
// goes out again, whole.
#include "console/console.h"

#include "console/extended_keys.h"
#include "console/gamepad.h"
#include "process/clock.h"
#include "process/signals.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <conio.h>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <windows.h>

namespace {

// A wait ends at least this often, whatever it waits for.
constexpr std::int64_t kLongestWaitMs = 50;
// Input records looked at for a key; records before a key that give none are
// dropped while waiting, so a key further back comes into view.
constexpr DWORD kPeekRecords = 64;

// Many screens' worth: a reader that is only slow loses nothing.
constexpr std::size_t kHeldOutputBytes = 4096;
// How long the end waits for text still held to go out ("Close").
constexpr std::int64_t kFinalOutputWaitNs = 100 * kNsPerMs;

struct PipedOutput {
    std::mutex mutex;
    std::condition_variable changed;
    bool threadStarted = false;
    std::string held;     // handed over, not yet written
    bool writing = false; // the thread is in a write
    std::string screen;   // the text since the last clear
    bool torn = false;    // some of it was dropped
    bool gone = false;    // a write failed: nothing is written any more
};

// Never destroyed: the thread may be in a write that never ends as the
// process ends.
PipedOutput& piped = *new PipedOutput;

bool outputIsConsole() {
    static const bool console = [] {
        DWORD mode = 0;
        return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
    }();
    return console;
}

bool writeAll(const std::string& text) {
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    for (std::size_t at = 0; at < text.size();) {
        DWORD done = 0;
        if (!WriteFile(output, text.data() + at, static_cast<DWORD>(text.size() - at), &done,
                       nullptr) ||
            done == 0) {
            return false;
        }
        at += done;
    }
    return true;
}

void writePiped() {
    std::unique_lock<std::mutex> lock(piped.mutex);
    for (;;) {
        piped.changed.wait(lock, [] { return !piped.held.empty(); });
        std::string text;
        text.swap(piped.held);
        piped.writing = true;
        lock.unlock();
        const bool written = writeAll(text);
        lock.lock();
        piped.writing = false;
        piped.gone = piped.gone || !written;
        if (piped.gone) {
            piped.held.clear();
        } else if (piped.torn && piped.held.empty()) {
            piped.torn = false;
            piped.held = piped.screen;
        }
        piped.changed.notify_all();
    }
}

// Hands text to the output's thread, with its line ends as Windows has them.
void writePipedText(const char* text) {
    std::string lines;
    for (; *text != '\0'; ++text) {
        if (*text == '\n') {
            lines += '\r';
        }
        lines += *text;
    }
    const std::lock_guard<std::mutex> lock(piped.mutex);
    if (piped.gone) {
        return;
    }
    piped.screen += lines;
    if (piped.torn) {
        return;
    }
    if (!piped.held.empty() && piped.held.size() + lines.size() > kHeldOutputBytes) {
        piped.torn = true;
        return;
    }
    piped.held += lines;
    if (!piped.threadStarted) {
        try {
            std::thread(writePiped).detach();
            piped.threadStarted = true;
        } catch (const std::system_error&) {
            // No thread to write it: the output is as good as gone.
            piped.gone = true;
            piped.held.clear();
            return;
        }
    }
    piped.changed.notify_all();
}

// A clear leaves a known screen, whatever was dropped before it.
void clearPipedScreen() {
    const std::lock_guard<std::mutex> lock(piped.mutex);
    piped.screen.clear();
    piped.torn = false;
}

// Gives what is still held a short time to go out.
void finishPipedOutput() {
    std::unique_lock<std::mutex> lock(piped.mutex);
    piped.changed.wait_for(lock, std::chrono::nanoseconds(kFinalOutputWaitNs),
                           [] { return piped.gone || (piped.held.empty() && !piped.writing); });
}

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
int secondCode = -1; // the second code of a grey key read here, not yet taken

// The codes a record gives as _getch gives them, into codes; how many (0: no
// key). A key-down record with a character gives that; a grey key, with
// Alt, Ctrl or neither (Shift changes nothing), its prefix and code.
int recordCodes(const INPUT_RECORD& record, int codes[2]) {
    const KEY_EVENT_RECORD& key = record.Event.KeyEvent;
    if (record.EventType != KEY_EVENT || !key.bKeyDown) {
        return 0;
    }
    if (key.uChar.AsciiChar != 0) {
        codes[0] = static_cast<unsigned char>(key.uChar.AsciiChar);
        return 1;
    }
    const GreyKey* grey = findGreyKey(key.wVirtualScanCode);
    if (grey == nullptr) {
        return 0;
    }
    const DWORD held = key.dwControlKeyState;
    const bool alt = held & (LEFT_ALT_PRESSED | RIGHT_ALT_PRESSED);
    const bool ctrl = held & (LEFT_CTRL_PRESSED | RIGHT_CTRL_PRESSED);
    codes[0] = alt ? kAltPrefix : kExtendedPrefix;
    codes[1] = alt ? grey->altCode : ctrl ? grey->ctrlCode : grey->scanCode;
    return 2;
}

// Whether a record among the first kPeekRecords gives a key.
bool keyRecordWaiting() {
    INPUT_RECORD records[kPeekRecords];
    DWORD count = 0;
    if (!PeekConsoleInputA(inputHandle(), records, kPeekRecords, &count)) {
        return false;
    }
    int codes[2];
    for (DWORD i = 0; i < count; ++i) {
        if (recordCodes(records[i], codes) > 0) {
            return true;
        }
    }
    return false;
}

// Reads records up to the first that gives a key; its first code, or -1 if
// none is left. Never waits: a record is read only once it is there.
int readKeyRecord() {
    INPUT_RECORD record;
    DWORD count = 0;
    int codes[2];
    while (PeekConsoleInputA(inputHandle(), &record, 1, &count) && count == 1) {
        ReadConsoleInputA(inputHandle(), &record, 1, &count);
        const int given = recordCodes(record, codes);
        if (given > 0) {
            secondCode = given == 2 ? codes[1] : -1;
            return codes[0];
        }
    }
    return -1;
}

// Records that give no key (mouse, focus, size, key releases, Shift alone)
// stay in the buffer and would keep the input handle signalled, turning
// every wait into a spin. Those at the front are read off here.
void dropNonKeyRecords() {
    INPUT_RECORD record;
    DWORD count = 0;
    int codes[2];
    while (PeekConsoleInputA(inputHandle(), &record, 1, &count) && count == 1 &&
           recordCodes(record, codes) == 0) {
        ReadConsoleInputA(inputHandle(), &record, 1, &count);
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
    gamepadOpen();
}

void consoleClose() {
    gamepadClose();
    if (!outputIsConsole()) {
        finishPipedOutput();
    }
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
// long, and the line waits meanwhile. A file or a pipe gets the text from
// the output's own thread.
void writeText(const char* text) {
    if (!outputIsConsole()) {
        writePipedText(text);
        return;
    }
    DWORD written = 0;
    WriteConsoleA(GetStdHandle(STD_OUTPUT_HANDLE), text, static_cast<DWORD>(std::strlen(text)),
                  &written, nullptr);
}

// The same as CLS, within the process: starting the command interpreter for
// it would take tens of milliseconds, several byte times in which the line
// waits. The whole buffer is blanked in the current colours and the cursor
// goes home. Output that is no console (a file or a pipe) gets nothing.
void clearScreen() {
    if (!outputIsConsole()) {
        clearPipedScreen();
        return;
    }
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
    return keyboardPresent() && (secondCode >= 0 || _kbhit() != 0 || keyRecordWaiting());
}

bool keyBuffered() {
    return keyWaiting();
}

// A console's keyboard never ends.
bool keyInputEnded() {
    return false;
}

int readKey() {
    while (keyboardPresent() && !exitRequested()) {
        if (secondCode >= 0) {
            const int code = secondCode;
            secondCode = -1;
            return code;
        }
        if (_kbhit() != 0) {
            return _getch();
        }
        if (keyRecordWaiting()) {
            return readKeyRecord();
        }
        waitForInput(monotonicNs() + kLongestWaitMs * kNsPerMs);
    }
    return -1;
}

void waitForInput(std::int64_t untilNs) {
    // A gamepad has no event to wait on: the wait ends when it is to be read.
    const std::int64_t leftNs = std::min(untilNs, gamepadPollDueNs()) - monotonicNs();
    if (leftNs <= 0) {
        gamepadPump();
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
    const bool watchKeys = keyboardPresent() && !keyWaiting();
    if (watchKeys) {
        handles[count++] = inputHandle();
    }
    if (count == 0) {
        sleepNs(ms * kNsPerMs);
        gamepadPump();
        return;
    }
    useFineTicks();
    const DWORD woke = WaitForMultipleObjects(count, handles, FALSE, static_cast<DWORD>(ms));
    if (watchKeys && woke == WAIT_OBJECT_0 + count - 1 && !keyWaiting()) {
        dropNonKeyRecords();
    }
    gamepadPump();
}
