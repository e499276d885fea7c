// The process's signals. Requests from outside the program: to end it (Ctrl+C, and on POSIX every
// signal whose default action ends a process, the real-time ones from
// SIGRTMIN to SIGRTMAX included; on Windows Ctrl+Break and closing the
// console window), to suspend it (SIGTSTP, SIGTTIN, SIGTTOU), and the news
// that it was continued (SIGCONT) or its window resized (SIGWINCH). The
// handlers only record the request and wake the program's one wait; the
// drive loop notices it and acts properly. Each handled signal is unblocked
// when its handler is installed, whatever mask the program inherited.
#pragma once

// Installs the handlers for requests to end; also makes broken pipes
// harmless, and runs the crash clean-up before a crash signal takes the
// process down.
void installExitHandlers();

// What to do, async-signal-safely, before a crash signal takes the process
// down: put the terminal back, for one.
void setCrashCleanup(void (*cleanup)());

// Also takes suspend and continue over, for a program that must leave things
// in order before it is suspended; without it they keep their usual effect.
void installJobControlHandlers();

// 0 while nobody has asked the program to end, else the signal that did.
int exitSignal();

// Whether somebody has asked the program to end.
bool exitRequested();

// Asks the program to end as if the signal had come (a terminal that hung up
// counts as SIGHUP).
void requestExit(int signal);

// Whether a request to suspend came since the last call.
bool takeSuspendRequest();

// Whether the process was continued since the last call.
bool takeContinued();

// Suspends the process until it is continued; returns then. Not when a
// request to end is already in, or when the process was continued after the
// request to suspend came. Nothing on a platform without job control.
void suspendProcess();

// Whether the terminal window changed its size since the last call.
bool takeResized();

// The conventional exit status for ending on that signal (130 for SIGINT).
int exitStatusForSignal(int signal);

// Tells the platform the shut-down is complete (a closing console window
// waits for this before the process is torn down).
void shutdownComplete();

// Whether a thread is inside a library call that nobody waits for any more
// (a write to a device that has stopped taking data): whoever left it there
// says so, and again once it has returned.
void setLibraryCallLeftRunning(bool running);

// Ends the process with this status, as returning it from main does. While a
// library call is left running, the libraries' own clean-up is skipped: it
// could wait for what that call holds, and the process would never end.
[[noreturn]] void exitProcess(int status);

// What the console's wait watches to wake at once for a request: the read
// end of a pipe on POSIX, an event handle on Windows.
#ifdef _WIN32
void* requestWakeEvent();
#else
int requestWakeFd();
// Empties the wake pipe after a wake-up; the flags above stay as they are.
void clearRequestWake();
#endif
