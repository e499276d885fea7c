// The console on a POSIX terminal: a raw keyboard that still lets Ctrl+C
// through, escape sequences decoded into Windows console key codes, and the
// terminal's own clear.
//
// Nothing here may hold the drive loop. Output goes through a description of
// its own, opened non-blocking, so the flag never touches the one the shell
// shares; text the terminal or pipe does not take at once is dropped. Input
// is read as soon as it arrives, stamped with that time, and fed to the
// decoder only while its queue has room for what a byte can give.
#include "console/console.h"

#include "console/key_decoder.h"
#include "process/clock.h"
#include "process/signals.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kInputFd = STDIN_FILENO;
constexpr int kOutputFd = STDOUT_FILENO;
constexpr char kClear[] = "\x1b[H\x1b[2J";
// A wait ends at least this often, whatever it waits for.
constexpr std::int64_t kLongestWaitNs = 50 * kNsPerMs;

termios savedTermios;
termios rawTermios;
volatile sig_atomic_t terminalIsRaw = 0;
bool terminalTaken = false; // consoleOpen() changed the terminal

// The key source.
KeyDecoder decoder;
bool inputEnded = false;
bool inputIsTerminal = false;
bool inputQuiet = false; // the last wait ended with no input arriving
// The rest of the last read, not yet fed: all of it arrived at one time.
struct PendingInput {
    unsigned char bytes[4096];
    std::size_t at = 0;
    std::size_t end = 0;
    std::int64_t arrivedMs = 0;
} pending;

// The screen. Until consoleOpen() and after consoleClose() text goes to
// standard output itself, and only when poll says it has room.
enum class OutputKind { Shared, Private, Socket };
OutputKind outputKind = OutputKind::Shared;
int outputFd = kOutputFd;
bool screenKept = false; // the console is open: the screen is tracked
std::string screenText;  // what was written since the last clear
bool screenTorn = false; // some of it was dropped

std::int64_t nowMs() {
    return monotonicNs() / kNsPerMs;
}

// A description of standard output of our own, non-blocking: a terminal or
// a pipe opened again by name. Sockets are written with MSG_DONTWAIT, files
// never block.
void takeOutput() {
    struct stat st {};
    if (fstat(kOutputFd, &st) != 0) {
        return;
    }
    if (S_ISSOCK(st.st_mode)) {
        outputKind = OutputKind::Socket;
        return;
    }
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        return;
    }
    const int fd = open("/proc/self/fd/1", O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        outputFd = fd;
        outputKind = OutputKind::Private;
    }
}

void releaseOutput() {
    if (outputKind == OutputKind::Private) {
        close(outputFd);
    }
    outputFd = kOutputFd;
    outputKind = OutputKind::Shared;
}

// Writes what the output takes now; true if all of it went.
bool writeNow(const char* text, std::size_t length) {
    while (length > 0) {
        if (outputKind == OutputKind::Shared) {
            pollfd output = {outputFd, POLLOUT, 0};
            if (poll(&output, 1, 0) <= 0 || !(output.revents & POLLOUT)) {
                return false;
            }
        }
        // A piece at a time where the output might block: a pipe with room
        // takes up to a page without blocking.
        const std::size_t piece =
            outputKind == OutputKind::Shared ? std::min<std::size_t>(length, 512) : length;
        const ssize_t done = outputKind == OutputKind::Socket
                                 ? send(outputFd, text, piece, MSG_DONTWAIT | MSG_NOSIGNAL)
                                 : write(outputFd, text, piece);
        if (done > 0) {
            text += done;
            length -= static_cast<std::size_t>(done);
        } else if (!(done < 0 && errno == EINTR)) {
            // Full (EAGAIN), closed (EPIPE) or gone: the text has nowhere to go.
            return false;
        }
    }
    return true;
}

// Draws the whole screen again after some of it was dropped.
void repairScreen() {
    if (!screenTorn) {
        return;
    }
    const std::string whole = kClear + screenText;
    screenTorn = !writeNow(whole.data(), whole.size());
}

void endInput() {
    inputEnded = true;
    // A terminal that reports the end of input has hung up: the operator has
    // gone, and the vehicle must not go on with nobody to stop it.
    if (inputIsTerminal) {
        requestExit(SIGHUP);
    }
}

// Feeds read bytes while the key queue can take whatever a byte gives.
void feedPending() {
    pending.at += decoderFeedSome(decoder, pending.bytes + pending.at, pending.end - pending.at,
                                  pending.arrivedMs);
}

bool haveRoomForInput() {
    return !inputEnded && pending.at == pending.end && decoderRoom(decoder) >= kMaxCodesPerCall;
}

// One read of what is waiting; false when nothing came.
bool readInput() {
    if (inputQuiet) {
        inputQuiet = false;
        return false;
    }
    if (!haveRoomForInput()) {
        return false;
    }
    pollfd input = {kInputFd, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0) {
        return false;
    }
    const ssize_t count = read(kInputFd, pending.bytes, sizeof pending.bytes);
    if (count > 0) {
        pending.at = 0;
        pending.end = static_cast<std::size_t>(count);
        pending.arrivedMs = nowMs();
        return true;
    }
    if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
        endInput(); // end of a pipe or file, or a terminal that hung up
    }
    return false;
}

// Takes all the input that is waiting, as far as the key queue has room;
// then, with nothing left unread, a sequence whose time is up resolves.
void pumpInput() {
    feedPending();
    while (readInput()) {
        feedPending();
    }
    if (pending.at == pending.end && decoderRoom(decoder) >= kMaxCodesPerCall) {
        if (inputEnded) {
            decoderFinish(decoder);
        } else {
            decoderExpire(decoder, nowMs());
        }
    }
}

bool requestPending() {
    return exitSignal() != 0;
}

void takeKeyboard() {
    inputIsTerminal = isatty(kInputFd) != 0;
    if (!inputIsTerminal || tcgetattr(kInputFd, &savedTermios) != 0) {
        return;
    }
    rawTermios = savedTermios;
    // Bytes as typed: Enter stays 13, Ctrl+S and Ctrl+Q are plain keys.
    rawTermios.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT);
    // Unechoed, one key at a time; Ctrl+V and Ctrl+O are plain keys too.
    rawTermios.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    // Ctrl+C still interrupts; Ctrl+Z and Ctrl+\ become ordinary keys.
    rawTermios.c_lflag |= ISIG;
    rawTermios.c_cc[VSUSP] = _POSIX_VDISABLE;
    rawTermios.c_cc[VQUIT] = _POSIX_VDISABLE;
    rawTermios.c_cc[VMIN] = 1;
    rawTermios.c_cc[VTIME] = 0;
    terminalTaken = true;
    consoleResume();
}

} // namespace

void consoleOpen() {
    setCrashCleanup(consoleRestoreFromSignal);
    decoder = KeyDecoder();
    pending.at = pending.end = 0;
    inputEnded = false;
    takeOutput();
    screenKept = true;
    takeKeyboard();
}

void consoleResume() {
    // TCSANOW keeps the keys typed before start-up queued for the drive loop.
    if (terminalTaken && !terminalIsRaw && tcsetattr(kInputFd, TCSANOW, &rawTermios) == 0) {
        terminalIsRaw = 1;
    }
}

void consoleSuspend() {
    if (terminalIsRaw) {
        tcsetattr(kInputFd, TCSANOW, &savedTermios);
        terminalIsRaw = 0;
    }
}

void consoleClose() {
    releaseOutput();
    screenKept = false;
    screenText.clear();
    screenTorn = false;
    if (!terminalTaken) {
        return;
    }
    consoleSuspend();
    // Keys left unread (an arrow held down when q came) must not spill into
    // the shell as escape sequences.
    tcflush(kInputFd, TCIFLUSH);
    terminalTaken = false;
}

void consoleRestoreFromSignal() {
    if (terminalIsRaw) {
        tcsetattr(kInputFd, TCSANOW, &savedTermios);
        terminalIsRaw = 0;
    }
}

void writeText(const char* text) {
    if (!screenKept) {
        writeNow(text, std::strlen(text));
        return;
    }
    screenText += text;
    if (!screenTorn) {
        screenTorn = !writeNow(text, std::strlen(text));
    }
}

void clearScreen() {
    if (!screenKept) {
        writeNow(kClear, sizeof kClear - 1);
        return;
    }
    screenText.clear();
    // A clear that goes out whole leaves a known screen, whatever was torn;
    // its leading ESC also ends any sequence a dropped write cut in half.
    screenTorn = !writeNow(kClear, sizeof kClear - 1);
}

bool keyWaiting() {
    if (!decoderHasKey(decoder)) {
        pumpInput();
    }
    return decoderHasKey(decoder);
}

bool keyQueued() {
    feedPending();
    return decoderHasKey(decoder);
}

int readKey() {
    while (!keyWaiting()) {
        if (inputEnded || requestPending()) {
            return -1;
        }
        waitForInput(std::numeric_limits<std::int64_t>::max());
    }
    return decoderTakeKey(decoder);
}

void waitForInput(std::int64_t untilNs) {
    feedPending();
    repairScreen();
    const std::int64_t now = monotonicNs();
    std::int64_t deadline = std::min(untilNs, now + kLongestWaitNs);
    pollfd fds[3];
    nfds_t count = 0;
    fds[count++] = {requestWakeFd(), POLLIN, 0};
    const nfds_t input = haveRoomForInput() ? count++ : 0;
    if (input != 0) {
        fds[input] = {kInputFd, POLLIN, 0};
        if (decoderPending(decoder)) {
            deadline = std::min(deadline, decoderDeadlineMs(decoder) * kNsPerMs);
        }
    }
    const nfds_t output = screenTorn ? count++ : 0;
    if (output != 0) {
        fds[output] = {outputFd, POLLOUT, 0};
    }
    const std::int64_t waitNs = std::max<std::int64_t>(0, deadline - now);
    const timespec timeout = {static_cast<time_t>(waitNs / 1000000000),
                              static_cast<long>(waitNs % 1000000000)};
    const int ready = ppoll(fds, count, &timeout, nullptr);
    if (ready > 0 && fds[0].revents != 0) {
        clearRequestWake();
    }
    const bool inputCame = input != 0 && (ready < 0 || fds[input].revents != 0);
    if (inputCame || decoderPending(decoder)) {
        pumpInput();
    }
    // The wait has just seen that no input came: the caller's next look at
    // it, a moment from now, need not ask the terminal again.
    inputQuiet = input != 0 && !inputCame;
    if (output != 0 && (ready < 0 || fds[output].revents != 0)) {
        repairScreen();
    }
}
