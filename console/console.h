// The console: screen output and the key source.
//
// Key codes follow the Windows console's _getch: ordinary keys give their
// character code, extended keys give a prefix (0 or 224) and then a second
// code, and -1 means the console cannot be read.
//
// Nothing here waits on the terminal for long: output that the terminal or
// pipe does not take at once is dropped (and the screen drawn again once it
// can be), and the only wait is waitForInput, which also ends at a deadline
// and on any request from outside.
//
// On Windows a console window takes its text at once (QuickEdit, whose
// selection would hold it, is off while the program runs), so text for it
// is written directly; text that is no console is handed to a thread of its
// own. Its keys come as whole key codes from the console itself, with no
// time of arrival to keep.
#pragma once

#include <cstdint>

// Takes the keyboard: from here until consoleClose() keys are delivered one by
// one, unechoed, with no Enter needed. Safe to call when input is no terminal.
void consoleOpen();

// Puts the terminal settings back exactly as consoleOpen() found them.
// Idempotent, so every way out can call it.
void consoleClose();

// Before the process is suspended: the terminal as consoleOpen() found
// it, with typed keys left queued. consoleResume() takes the keyboard again.
void consoleSuspend();
void consoleResume();

// Empties the console window; nothing visible remains before the next write.
void clearScreen();

// Writes text; it is visible at once, with or without a line feed. What the
// output does not take is dropped, never waited for: a closed pipe, a pipe
// nobody reads, a terminal that is frozen. A screen left incomplete that way
// is drawn again, whole, once the output takes text again.
void writeText(const char* text);

// True when a whole key code can be read at once. Reads the input that is
// waiting, without waiting for more.
bool keyWaiting();

// True when a key code can be had from input already read in, without
// looking at the terminal again.
bool keyBuffered();

// True once the input has ended (a pipe or file at its end) and every key
// from it has been taken: no key can ever come again. A terminal that hangs
// up does not end this way; it asks the program to end, as SIGHUP does.
bool keyInputEnded();

// The next key code, waiting for one if need be; -1 at the end of input, when
// the console cannot be read, or when a signal asks the program to end.
int readKey();

// The program's one wait: until input arrives, a pending Esc's time is up,
// untilNs (on the monotonic clock) passes, or a request comes from outside.
// Input that arrived is read in at once, stamped with its time (POSIX). It
// may end early; callers look at what they wait for again.
void waitForInput(std::int64_t untilNs);

// Puts the terminal settings back from a signal handler; async-signal-safe.
void consoleRestoreFromSignal();
