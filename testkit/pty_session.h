// Runs a program in a real pseudo-terminal, as a user at a terminal would:
// keys go in through the master side, the screen comes out of it.
#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

struct PtySession {
    pid_t pid = -1;
    int master = -1;        // -1 for a program started with no terminal
    std::string output;     // everything the program wrote so far
    termios initialTermios; // the terminal's settings before the program started
    int exitStatus = -1;    // raw wait status once it ended
};

// Starts argv[0] with the given arguments on a fresh pseudo-terminal in cooked
// mode, as a shell would leave it.
PtySession startInPty(const std::vector<std::string>& argv);

// Starts it with no terminal: inFd and outFd become its standard input and
// output, -1 leaves that one closed. The caller keeps its own copies.
PtySession startWithStreams(const std::vector<std::string>& argv, int inFd, int outFd);

void typeKeys(PtySession& session, const std::string& bytes);

// Reads the screen until text appears after offset `from`; false on timeout.
bool waitForOutput(PtySession& session, const std::string& text, int timeoutMs,
                   std::size_t from = 0);

// Reads whatever arrives for the given time.
void readFor(PtySession& session, int ms);

// The visible screen: what was written after the last clear.
std::string screen(const PtySession& session);

// Waits for the program to end; false on timeout, after which it is killed.
bool waitForExit(PtySession& session, int timeoutMs);

// The exit status once it ended normally; -1 otherwise.
int exitCode(const PtySession& session);

// A pseudo-terminal pair closed on exec, its slave raw: a serial line for a
// program to use, or a terminal it gets as a plain file. False if none.
bool openLinePty(int& master, int& slave);

// Whether the terminal's settings are now what they were before the start.
bool terminalAsAtStart(const PtySession& session);

void endSession(PtySession& session);

// A fresh path for a file in the temp directory.
std::string tempPath(const std::string& stem);

std::int64_t nowNs();
