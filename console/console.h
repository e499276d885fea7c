// The console: screen output and the key source.
//
// Key codes follow the Windows console's _getch: ordinary keys give their
// character code, extended keys give a prefix (0 or 224) and then a second
// code, and -1 means the console cannot be read.
#pragma once

// Takes the keyboard: from here until consoleClose() keys are delivered one by
// one, unechoed, with no Enter needed. Safe to call when input is no terminal.
void consoleOpen();

// Puts the terminal settings back exactly as consoleOpen() found them.
// Idempotent, so every way out can call it.
void consoleClose();

// Empties the console window; nothing visible remains before the next write.
void clearScreen();

// Writes text; it is visible at once, with or without a line feed. Output to
// a closed pipe or terminal is dropped.
void writeText(const char* text);

// True when a whole key code can be read at once. Never waits.
bool keyWaiting();

// The next key code, waiting for one if need be; -1 at the end of input, when
// the console cannot be read, or when a signal asks the program to stop.
int readKey();

// Puts the terminal settings back from a signal handler; async-signal-safe.
void consoleRestoreFromSignal();
