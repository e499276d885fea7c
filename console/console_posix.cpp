// The console's terminal and keys on POSIX: a raw keyboard that still lets
// Ctrl+C through, escape sequences decoded into Windows console key codes,
// and the program's one wait. Input is read as soon as it arrives, stamped
// with that time, and fed to the decoder only while its queue has room for
// what a byte can give.
#include "console/console.h"

#include "console/console_posix.h"
#include "console/gamepad.h"
#include "console/key_decoder.h"
#include "process/clock.h"
#include "process/signals.h"

#include <algorithm>
#include <csignal>
#include <limits>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>

namespace {

constexpr int kInputFd = STDIN_FILENO;
// A wait ends at least this often, whatever it waits for.
constexpr std::int64_t kLongestWaitNs = 50 * kNsPerMs;

// Read by the crash clean-up, a signal handler.
volatile sig_atomic_t terminalIsRaw = 0;

struct Keyboard {
    termios savedTermios{};
    termios rawTermios{};
    bool terminalTaken = false; // consoleOpen() changed the terminal
    // The terminal is not our controlling terminal, so its interrupt and
    // quit keys signal somebody else: they come to us as bytes, taken as
    // requests.
    bool controlKeysAreOurs = false;
    // The key source: standard input, or a non-blocking description of it.
    StreamKind inputKind = StreamKind::Shared;
    int inputFd = kInputFd;
    KeyDecoder decoder;
    bool inputEnded = false;
    bool inputIsTerminal = false;
    // The last wait saw that no input came: the next read, a moment later,
    // is skipped once.
    bool skipNextRead = false;
    // The rest of the last read, not yet fed: all of it arrived at one time.
    unsigned char pending[4096];
    std::size_t pendingAt = 0;
    std::size_t pendingEnd = 0;
    std::int64_t pendingArrivedMs = 0;
};

Keyboard keyboard;

std::int64_t nowMs() {
    return monotonicNs() / kNsPerMs;
}

void endInput() {
    keyboard.inputEnded = true;
    // A terminal that reports the end of input has hung up: the operator has
    // gone, and the vehicle must not go on with nobody to stop it.
    if (keyboard.inputIsTerminal) {
        requestExit(SIGHUP);
    }
}

bool allFed() {
    return keyboard.pendingAt == keyboard.pendingEnd;
}

// Feeds read bytes while the key queue can take whatever a byte gives.
void feedPending() {
    keyboard.pendingAt +=
        decoderFeedSome(keyboard.decoder, keyboard.pending + keyboard.pendingAt,
                        keyboard.pendingEnd - keyboard.pendingAt, keyboard.pendingArrivedMs);
}

// Whether input may be read now: it has room, and is not the terminal of a
// job in the background. A job brought back to the foreground (fg sends no
// SIGCONT to a job that is running) takes the keyboard again here.
bool prepareToRead() {
    if (keyboard.inputEnded || !allFed() || decoderRoom(keyboard.decoder) < kMaxCodesPerCall) {
        return false;
    }
    if (!keyboard.inputIsTerminal) {
        return true;
    }
    if (inBackground(keyboard.inputFd)) {
        return false;
    }
    consoleResume();
    return true;
}

// Where the terminal's signals go to somebody else, its interrupt and quit
// characters are requests to us.
void takeControlKeys(const unsigned char* bytes, std::size_t count) {
    if (!keyboard.controlKeysAreOurs) {
        return;
    }
    const cc_t* keys = keyboard.savedTermios.c_cc;
    for (std::size_t i = 0; i < count; ++i) {
        if (bytes[i] == keys[VINTR] && bytes[i] != _POSIX_VDISABLE) {
            requestExit(SIGINT);
        } else if (bytes[i] == keys[VQUIT] && bytes[i] != _POSIX_VDISABLE) {
            requestExit(SIGQUIT);
        }
    }
}

// One read of what is waiting, never blocking; false when nothing came.
bool readInput() {
    if (keyboard.skipNextRead) {
        keyboard.skipNextRead = false;
        return false;
    }
    if (!prepareToRead()) {
        return false;
    }
    const int fd = keyboard.inputFd;
    unsigned char* bytes = keyboard.pending;
    const auto readSome = [&] { return read(fd, bytes, sizeof keyboard.pending); };
    const ssize_t count = keyboard.inputKind == StreamKind::Socket
                              ? recv(fd, bytes, sizeof keyboard.pending, MSG_DONTWAIT)
                          : keyboard.inputKind == StreamKind::Shared ? withoutWaiting(fd, readSome)
                                                                     : readSome();
    if (count > 0) {
        keyboard.pendingAt = 0;
        keyboard.pendingEnd = static_cast<std::size_t>(count);
        keyboard.pendingArrivedMs = nowMs();
        takeControlKeys(bytes, keyboard.pendingEnd);
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
    if (allFed() && decoderRoom(keyboard.decoder) >= kMaxCodesPerCall) {
        if (keyboard.inputEnded) {
            decoderFinish(keyboard.decoder);
        } else {
            decoderExpire(keyboard.decoder, nowMs());
        }
    }
}

void takeKeyboard() {
    keyboard.inputIsTerminal = isatty(kInputFd) != 0;
    if (!keyboard.inputIsTerminal || tcgetattr(kInputFd, &keyboard.savedTermios) != 0) {
        return;
    }
    termios& raw = keyboard.rawTermios;
    raw = keyboard.savedTermios;
    // Bytes as typed: Enter stays 13, Ctrl+S and Ctrl+Q are plain keys.
    raw.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT);
    // Unechoed, one key at a time; Ctrl+V and Ctrl+O are plain keys too.
    raw.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    // Ctrl+C still interrupts; Ctrl+Z and Ctrl+\ become ordinary keys. On a
    // terminal that is not ours (setsid), its signals would go to another
    // process group and Ctrl+C would be lost: there it reaches us as a byte.
    keyboard.controlKeysAreOurs = tcgetsid(kInputFd) != getsid(0);
    if (keyboard.controlKeysAreOurs) {
        raw.c_lflag &= ~ISIG;
    } else {
        raw.c_lflag |= ISIG;
    }
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    keyboard.terminalTaken = true;
    consoleResume();
}

} // namespace

void consoleOpen() {
    setCrashCleanup(consoleRestoreFromSignal);
    keyboard.decoder = KeyDecoder();
    keyboard.pendingAt = keyboard.pendingEnd = 0;
    keyboard.inputEnded = false;
    keyboard.inputKind = takeStream(kInputFd, O_RDONLY, keyboard.inputFd);
    screenOpen();
    takeKeyboard();
    gamepadOpen();
}

void consoleResume() {
    // TCSANOW keeps the keys typed before start-up queued for the drive loop.
    // In the background the settings wait until the job is continued in the
    // foreground.
    if (keyboard.terminalTaken && !terminalIsRaw && !inBackground(kInputFd) &&
        tcsetattr(kInputFd, TCSANOW, &keyboard.rawTermios) == 0) {
        terminalIsRaw = 1;
    }
}

void consoleSuspend() {
    // A job in the background left the terminal to the shell, which set it
    // as it wants it: changing it now would spoil the shell's settings.
    if (terminalIsRaw && !inBackground(kInputFd)) {
        tcsetattr(kInputFd, TCSANOW, &keyboard.savedTermios);
    }
    terminalIsRaw = 0;
}

void consoleClose() {
    gamepadClose();
    releaseStream(keyboard.inputKind, keyboard.inputFd, kInputFd);
    screenClose();
    if (!keyboard.terminalTaken) {
        return;
    }
    consoleSuspend();
    // Keys left unread (an arrow held down when q came) must not spill into
    // the shell as escape sequences; in the background they are not ours.
    if (!inBackground(kInputFd)) {
        tcflush(kInputFd, TCIFLUSH);
    }
    keyboard.terminalTaken = false;
}

void consoleRestoreFromSignal() {
    if (terminalIsRaw) {
        tcsetattr(kInputFd, TCSANOW, &keyboard.savedTermios);
        terminalIsRaw = 0;
    }
}

bool keyWaiting() {
    if (!decoderHasKey(keyboard.decoder)) {
        pumpInput();
    }
    return decoderHasKey(keyboard.decoder);
}

bool keyInputEnded() {
    return keyboard.inputEnded && !decoderHasKey(keyboard.decoder) &&
           !decoderPending(keyboard.decoder) && allFed();
}

bool keyBuffered() {
    feedPending();
    return decoderHasKey(keyboard.decoder);
}

int readKey() {
    while (!keyWaiting()) {
        if (keyboard.inputEnded || exitRequested()) {
            return -1;
        }
        waitForInput(std::numeric_limits<std::int64_t>::max());
    }
    return decoderTakeKey(keyboard.decoder);
}

void waitForInput(std::int64_t untilNs) {
    feedPending();
    repairScreen();
    const std::int64_t now = monotonicNs();
    std::int64_t deadline = std::min(untilNs, now + kLongestWaitNs);
    pollfd fds[3 + kGamepadFds];
    nfds_t count = 0;
    fds[count++] = {requestWakeFd(), POLLIN, 0};
    const nfds_t input = prepareToRead() ? count++ : 0;
    if (input != 0) {
        fds[input] = {keyboard.inputFd, POLLIN, 0};
        if (decoderPending(keyboard.decoder)) {
            deadline = std::min(deadline, decoderDeadlineMs(keyboard.decoder) * kNsPerMs);
        }
    }
    const int repairFd = screenRepairFd();
    const nfds_t output = repairFd >= 0 ? count++ : 0;
    if (output != 0) {
        fds[output] = {repairFd, POLLOUT, 0};
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
    if (inputCame || decoderPending(keyboard.decoder)) {
        pumpInput();
    }
    keyboard.skipNextRead = input != 0 && !inputCame;
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
