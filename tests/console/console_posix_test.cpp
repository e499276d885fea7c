// The POSIX console on a real pseudo-terminal standing in as standard input
// and output, and on pipes.
#include "console/console.h"
#include "process/clock.h"
#include "process/signals.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Standard input (and output) on a fresh pseudo-terminal for one test.
struct PtyInput {
    int master = -1;
    int slave = -1;
    int savedIn = -1;
    int savedOut = -1;
    termios before{};

    PtyInput() {
        openpty(&master, &slave, nullptr, nullptr, nullptr);
        tcgetattr(slave, &before);
        savedIn = dup(STDIN_FILENO);
        savedOut = dup(STDOUT_FILENO);
        dup2(slave, STDIN_FILENO);
        dup2(slave, STDOUT_FILENO);
    }
    ~PtyInput() {
        consoleClose();
        dup2(savedIn, STDIN_FILENO);
        dup2(savedOut, STDOUT_FILENO);
        close(savedIn);
        close(savedOut);
        close(slave);
        close(master);
    }
    void type(const std::string& bytes) const {
        ASSERT_EQ(write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

// Waits up to a second for the console to report a key.
bool keyArrives() {
    const std::int64_t end = monotonicNs() + 1000 * kNsPerMs;
    while (monotonicNs() < end) {
        if (keyWaiting()) {
            return true;
        }
        sleepNs(kNsPerMs);
    }
    return false;
}

// A lone Esc is a key once its wait is up, and readKey waits for it.
TEST(PosixConsole, ALoneEscComesWhenItsWaitIsUp) {
    PtyInput pty;
    consoleOpen();
    pty.type("\x1b");
    const std::int64_t typed = monotonicNs();
    EXPECT_FALSE(keyWaiting());
    EXPECT_EQ(readKey(), 27);
    const std::int64_t waited = monotonicNs() - typed;
    EXPECT_GE(waited, 25 * kNsPerMs);
    EXPECT_LE(waited, 200 * kNsPerMs);
}

// The pseudo-terminal here is not the test's controlling terminal, as with
// setsid: its Ctrl+C would signal somebody else, so it comes as a byte and
// is taken as the request it stands for.
TEST(PosixConsole, RawKeysAndCtrlCOnATerminalThatIsNotOurs) {
    PtyInput pty;
    consoleOpen();
    termios raw{};
    tcgetattr(pty.slave, &raw);
    EXPECT_FALSE(raw.c_lflag & ICANON);
    EXPECT_FALSE(raw.c_lflag & ECHO);
    EXPECT_FALSE(raw.c_lflag & ISIG);
    EXPECT_FALSE(raw.c_iflag & IXON);
    EXPECT_FALSE(raw.c_iflag & ICRNL);
    EXPECT_EQ(raw.c_oflag, pty.before.c_oflag) << "output keeps its line ends";
    pty.type("\x03");
    ASSERT_TRUE(keyArrives());
    EXPECT_EQ(exitSignal(), SIGINT);

    consoleClose();
    termios after{};
    tcgetattr(pty.slave, &after);
    EXPECT_EQ(std::memcmp(&after, &pty.before, sizeof after), 0);
}

// Keys typed before start-up are kept for the drive; control keys are plain
// codes; what is left unread at the close is thrown away, not left to spill
// into the shell.
TEST(PosixConsole, KeysFromBeforeStartUpToTheCloseAndNoneAfter) {
    PtyInput pty;
    pty.type("H");
    consoleOpen();
    // Enter, Ctrl+Z, Ctrl+\, Ctrl+S, Ctrl+Q, Ctrl+V, then Up.
    pty.type("\r\x1a\x1c\x13\x11\x16\x1b[A");
    for (int expected : {72, 13, 26, 28, 19, 17, 22, 224}) {
        ASSERT_TRUE(keyArrives());
        EXPECT_EQ(readKey(), expected);
    }
    EXPECT_TRUE(keyWaiting()) << "the second code is there at once";
    EXPECT_EQ(readKey(), 72);

    pty.type("\x1b[B");
    pollfd arrived = {pty.slave, POLLIN, 0};
    ASSERT_EQ(poll(&arrived, 1, 1000), 1);
    consoleClose();
    int unread = -1;
    ASSERT_EQ(ioctl(pty.slave, FIONREAD, &unread), 0);
    EXPECT_EQ(unread, 0);
}

// Standard input from a pipe: the same decoding, the terminal left alone,
// and once the input ends, no key ever again and no waiting for one.
TEST(PipedConsole, KeysUntilTheEndThenNothing) {
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const int savedIn = dup(STDIN_FILENO);
    dup2(pipeFds[0], STDIN_FILENO);
    close(pipeFds[0]);
    consoleOpen();
    ASSERT_EQ(write(pipeFds[1], "\x1bOPH\x1b", 5), 5);
    close(pipeFds[1]);
    for (int expected : {0, 59, 72, 27}) { // F1 whole, H, then the Esc at the end
        ASSERT_TRUE(keyArrives());
        EXPECT_EQ(readKey(), expected);
    }
    const std::int64_t start = monotonicNs();
    for (int i = 0; i < 1000; ++i) {
        EXPECT_FALSE(keyWaiting());
    }
    EXPECT_EQ(readKey(), -1);
    EXPECT_LT(monotonicNs() - start, 200 * kNsPerMs);
    consoleClose();
    dup2(savedIn, STDIN_FILENO);
    close(savedIn);
}

} // namespace
