// The console on a POSIX terminal: a raw keyboard that still lets Ctrl+C
// through, escape sequences decoded into Windows console key codes, and the
// terminal's own clear.
//
// Nothing here may hold the drive loop. Input and output each go through a
// description of their own, opened non-blocking, so the flag never touches
// the ones the shell shares: another reader of the same terminal can take
// the bytes a wait saw arrive without leaving a read blocked. Where no such
// description can be had (a terminal that belongs to another user, after su;
// too few descriptors left), each read and write of the shared one is made
// with the flag set just for it. Text the terminal or pipe does not take at
// once is dropped; output that fails for good is given up. Input is read as soon as it arrives,
// stamped with that time, and fed to the decoder only while its queue has room for what a byte can
// give.
//
// A job in the background neither reads its terminal nor changes its
// settings, nor writes to it when the terminal asks background jobs not to
// (stty tostop): the kernel would answer with SIGTTIN or SIGTTOU, and the
// program would be stopped where it can no longer be asked to end.
#include "console/console.h"

#include "console/gamepad.h"
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

// EINTR retries a write gets, and only while no request to end is in: a
// signal that keeps coming (SIGTTOU for each write of a background job) must
// not hold the program in one write.
constexpr int kWriteRetries = 3;

termios savedTermios;
termios rawTermios;
volatile sig_atomic_t terminalIsRaw = 0;
bool terminalTaken = false; // consoleOpen() changed the terminal
// The terminal is not our controlling terminal, so its interrupt and quit
// keys signal somebody else: they come to us as bytes, taken as requests.
bool controlKeysAreOurs = false;

// How a standard stream is used without blocking: a terminal or a pipe
// opened again by name gives a description of our own, non-blocking
// (Private); sockets take MSG_DONTWAIT; anything else (a file, or a terminal
// or pipe that cannot be opened again) goes through the shared description,
// non-blocking for the moment of each read and write.
enum class StreamKind { Shared, Private, Socket };

// The key source: standard input, or a non-blocking description of it.
StreamKind inputKind = StreamKind::Shared;
int inputFd = kInputFd;
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
StreamKind outputKind = StreamKind::Shared;
int outputFd = kOutputFd;
bool screenKept = false; // the console is open: the screen is tracked
std::string screenText;  // what was written since the last clear
bool screenTorn = false; // some of it was dropped
bool outputDead = false; // it failed for good: nothing is written any more

std::int64_t nowMs() {
    return monotonicNs() / kNsPerMs;
}

// Sets up a standard stream for use without blocking; fd becomes the
// description to use.
StreamKind takeStream(int standardFd, int flags, int& fd) {
    fd = standardFd;
    struct stat st {};
    if (fstat(standardFd, &st) != 0) {
        return StreamKind::Shared;
    }
    if (S_ISSOCK(st.st_mode)) {
        return StreamKind::Socket;
    }
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        return StreamKind::Shared;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(standardFd);
    const int own = open(path.c_str(), flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (own < 0) {
        return StreamKind::Shared;
    }
    if (!essentialDescriptorsFree()) {
        close(own);
        return StreamKind::Shared;
    }
    fd = own;
    return StreamKind::Private;
}

// Runs io() on a description others share, with O_NONBLOCK set for just that
// long: it cannot wait, and the others find the flags as they were.
template <typename Io> ssize_t withoutWaiting(int fd, Io io) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        return -1;
    }
    const ssize_t done = io();
    const int error = errno;
    if (!(flags & O_NONBLOCK)) {
        fcntl(fd, F_SETFL, flags);
    }
    errno = error;
    return done;
}

void releaseStream(StreamKind& kind, int& fd, int standardFd) {
    if (kind == StreamKind::Private) {
        close(fd);
    }
    kind = StreamKind::Shared;
    fd = standardFd;
}

// Whether fd is our controlling terminal and another process group has it:
// then we are a job in the background.
bool inBackground(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    return foreground > 0 && foreground != getpgrp();
}

// A background job must not write to a terminal set to stop it for that.
bool outputHeldBack() {
    termios t{};
    return inBackground(outputFd) && tcgetattr(outputFd, &t) == 0 && (t.c_lflag & TOSTOP);
}

// Writes what the output takes now; true if all of it went.
bool writeNow(const char* text, std::size_t length) {
    if (outputDead || (length > 0 && outputHeldBack())) {
        return false;
    }
    int retries = kWriteRetries;
    while (length > 0) {
        const ssize_t done =
            outputKind == StreamKind::Socket
                ? send(outputFd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL)
            : outputKind == StreamKind::Shared
                ? withoutWaiting(outputFd, [&] { return write(outputFd, text, length); })
                : write(outputFd, text, length);
        if (done > 0) {
            text += done;
            length -= static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            if (--retries < 0 || exitSignal() != 0) {
                return false;
            }
        } else {
            // Full for now (EAGAIN), or failed for good: a closed pipe, a
            // full disk, a terminal that hung up. Such an output is always
            // "ready" and always fails; waiting on it would spin.
            outputDead = done < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
            return false;
        }
    }
    return true;
}

// Draws the whole screen again after some of it was dropped.
void repairScreen() {
    if (!screenTorn || outputDead) {
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

// Input is read when it has room and may be read: not the terminal of a
// job in the background. A job brought back to the foreground (fg sends no
// SIGCONT to a job that is running) takes the keyboard again here.
bool mayReadInput() {
    if (inputEnded || pending.at != pending.end || decoderRoom(decoder) < kMaxCodesPerCall) {
        return false;
    }
    if (!inputIsTerminal) {
        return true;
    }
    if (inBackground(inputFd)) {
        return false;
    }
    consoleResume();
    return true;
}

// Where the terminal's signals go to somebody else, its interrupt and quit
// characters are requests to us.
void takeControlKeys(const unsigned char* bytes, std::size_t count) {
    if (!controlKeysAreOurs) {
        return;
    }
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == savedTermios.c_cc[VINTR] && bytes[i] != _POSIX_VDISABLE) {
            requestExit(SIGINT);
        } else if (bytes[i] == savedTermios.c_cc[VQUIT] && bytes[i] != _POSIX_VDISABLE) {
            requestExit(SIGQUIT);
        }
    }
}

// One read of what is waiting, never blocking; false when nothing came.
bool readInput() {
    if (inputQuiet) {
        inputQuiet = false;
        return false;
    }
    if (!mayReadInput()) {
        return false;
    }
    const auto readSome = [] { return read(inputFd, pending.bytes, sizeof pending.bytes); };
    const ssize_t count = inputKind == StreamKind::Socket
                              ? recv(inputFd, pending.bytes, sizeof pending.bytes, MSG_DONTWAIT)
                          : inputKind == StreamKind::Shared ? withoutWaiting(inputFd, readSome)
                                                            : readSome();
    if (count > 0) {
        pending.at = 0;
        pending.end = static_cast<std::size_t>(count);
        pending.arrivedMs = nowMs();
        takeControlKeys(pending.bytes, pending.end);
        return true;
    }
    if (count == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
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
    // Ctrl+C still interrupts; Ctrl+Z and Ctrl+\ become ordinary keys. On a
    // terminal that is not ours (setsid), its signals would go to another
    // process group and Ctrl+C would be lost: there it reaches us as a byte.
    controlKeysAreOurs = tcgetsid(kInputFd) != getsid(0);
    if (controlKeysAreOurs) {
        rawTermios.c_lflag &= ~ISIG;
    } else {
        rawTermios.c_lflag |= ISIG;
    }
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
    outputDead = false;
    inputKind = takeStream(kInputFd, O_RDONLY, inputFd);
    outputKind = takeStream(kOutputFd, O_WRONLY, outputFd);
    screenKept = true;
    takeKeyboard();
    gamepadOpen();
}

void consoleResume() {
    // TCSANOW keeps the keys typed before start-up queued for the drive loop.
    // In the background the settings wait until the job is continued in the
    // foreground.
    if (terminalTaken && !terminalIsRaw && !inBackground(kInputFd) &&
        tcsetattr(kInputFd, TCSANOW, &rawTermios) == 0) {
        terminalIsRaw = 1;
    }
}

void consoleSuspend() {
    // A job in the background left the terminal to the shell, which set it
    // as it wants it: changing it now would spoil the shell's settings.
    if (terminalIsRaw && !inBackground(kInputFd)) {
        tcsetattr(kInputFd, TCSANOW, &savedTermios);
    }
    terminalIsRaw = 0;
}

void consoleClose() {
    gamepadClose();
    releaseStream(inputKind, inputFd, kInputFd);
    releaseStream(outputKind, outputFd, kOutputFd);
    screenKept = false;
    screenText.clear();
    screenTorn = false;
    if (!terminalTaken) {
        return;
    }
    consoleSuspend();
    // Keys left unread (an arrow held down when q came) must not spill into
    // the shell as escape sequences; in the background they are not ours.
    if (!inBackground(kInputFd)) {
        tcflush(kInputFd, TCIFLUSH);
    }
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

bool keyInputEnded() {
    return inputEnded && !decoderHasKey(decoder) && !decoderPending(decoder) &&
           pending.at == pending.end;
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
    pollfd fds[3 + kGamepadFds];
    nfds_t count = 0;
    fds[count++] = {requestWakeFd(), POLLIN, 0};
    const nfds_t input = mayReadInput() ? count++ : 0;
    if (input != 0) {
        fds[input] = {inputFd, POLLIN, 0};
        if (decoderPending(decoder)) {
            deadline = std::min(deadline, decoderDeadlineMs(decoder) * kNsPerMs);
        }
    }
    const nfds_t output = screenTorn && !outputDead && !outputHeldBack() ? count++ : 0;
    if (output != 0) {
        fds[output] = {outputFd, POLLOUT, 0};
    }
    const nfds_t pad = count;
    for (int i = 0; i < kGamepadFds; ++i) {
        if (gamepadFd(i) >= 0) {
            fds[count++] = {gamepadFd(i), POLLIN, 0};
        }
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
    for (nfds_t i = pad; ready > 0 && i < count; ++i) {
        if (fds[i].revents != 0) {
            gamepadPump();
            break;
        }
    }
}
