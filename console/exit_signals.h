// Requests to end the program from outside: Ctrl+C, and on POSIX SIGTERM and
// SIGHUP (on Windows Ctrl+Break and closing the console window). The handlers
// only record the request; the drive loop notices it and shuts down properly.
#pragma once

// Installs the handlers; also makes broken pipes harmless and restores the
// terminal before a crash signal takes the process down.
void installExitHandlers();

// 0 while nobody has asked the program to stop, else the signal that did.
int exitSignal();

// The conventional exit status for ending on that signal (130 for SIGINT).
int exitStatusForSignal(int signal);

// Tells the platform the shut-down is complete (a closing console window
// waits for this before the process is torn down).
void shutdownComplete();
