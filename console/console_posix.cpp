// The console on a POSIX terminal: a raw keyboard that still lets Ctrl+C
// through, escape sequences decoded into Windows console key codes, and the
// terminal's own clear.
#include "console/console.h"

#include "console/exit_signals.h"
#include "console/key_decoder.h"
#include "link/clock.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kInputFd = STDIN_FILENO;
constexpr int kOutputFd = STDOUT_FILENO;

termios savedTermios;
volatile sig_atomic_t terminalIsRaw = 0;
KeyDecoder decoder;
bool inputEnded = false;

std::int64_t nowMs() {
    return monotonicNs() / kNsPerMs;
}

// Reads what input is there without waiting and feeds it to the decoder.
// Returns whether any byte came in.
bool pumpInput() {
    if (inputEnded) {
        return false;
    }
    pollfd input = {kInputFd, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0) {
        return false;
    }
    unsigned char bytes[64];
    const ssize_t count = read(kInputFd, bytes, sizeof bytes);
    if (count > 0) {
        const std::int64_t now = nowMs();
        for (ssize_t i = 0; i < count; ++i) {
            decoderFeed(decoder, bytes[i], now);
        }
        return true;
    }
    if (count == 0 || (errno != EAGAIN && errno != EINTR)) {
        // End of a pipe or file, or a terminal that hung up: no more keys.
        inputEnded = true;
        decoderFinish(decoder);
    }
    return false;
}

// A lone Esc, or a sequence cut short, resolves once no byte has followed it
// in time. Only called when nothing is waiting to be read.
void resolvePending() {
    if (decoderPending(decoder)) {
        decoderExpire(decoder, nowMs());
    }
}

} // namespace

void consoleOpen() {
    if (!isatty(kInputFd) || tcgetattr(kInputFd, &savedTermios) != 0) {
        return;
    }
    termios raw = savedTermios;
    // Bytes as typed: Enter stays 13, Ctrl+S and Ctrl+Q are plain keys.
    raw.c_iflag &= ~(ICRNL | INLCR | IGNCR | IXON | IXOFF | ISTRIP | BRKINT);
    // Unechoed, one key at a time; Ctrl+V and Ctrl+O are plain keys too.
    raw.c_lflag &= ~(ICANON | ECHO | ECHONL | IEXTEN);
    // Ctrl+C still interrupts; Ctrl+Z and Ctrl+\ become ordinary keys.
    raw.c_lflag |= ISIG;
    raw.c_cc[VSUSP] = _POSIX_VDISABLE;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    // TCSANOW keeps the keys typed before start-up queued for the drive loop.
    if (tcsetattr(kInputFd, TCSANOW, &raw) == 0) {
        terminalIsRaw = 1;
    }
}

void consoleClose() {
    if (!terminalIsRaw) {
        return;
    }
    tcsetattr(kInputFd, TCSANOW, &savedTermios);
    // Keys left unread (an arrow held down when q came) must not spill into
    // the shell as escape sequences.
    tcflush(kInputFd, TCIFLUSH);
    terminalIsRaw = 0;
}

void consoleRestoreFromSignal() {
    if (terminalIsRaw) {
        tcsetattr(kInputFd, TCSANOW, &savedTermios);
        terminalIsRaw = 0;
    }
}

void writeText(const char* text) {
    std::size_t left = std::strlen(text);
    int stalls = 0;
    while (left > 0) {
        const ssize_t done = write(kOutputFd, text, left);
        if (done > 0) {
            text += done;
            left -= static_cast<std::size_t>(done);
            continue;
        }
        if (done < 0 && errno == EINTR) {
            continue;
        }
        if (done < 0 && errno == EAGAIN && ++stalls < 20) {
            pollfd output = {kOutputFd, POLLOUT, 0};
            poll(&output, 1, 5);
            continue;
        }
        // A closed pipe or a terminal that is gone: the text has nowhere to go.
        return;
    }
}

void clearScreen() {
    writeText("\x1b[H\x1b[2J");
}

bool keyWaiting() {
    if (decoderHasKey(decoder)) {
        return true;
    }
    if (!pumpInput()) {
        resolvePending();
    }
    return decoderHasKey(decoder);
}

int readKey() {
    for (;;) {
        if (keyWaiting()) {
            return decoderTakeKey(decoder);
        }
        if (inputEnded || exitSignal() != 0) {
            return -1;
        }
        // Wake for the next byte, for a pending Esc to resolve, and at least
        // every 50 ms to notice a request to stop.
        int timeoutMs = 50;
        if (decoderPending(decoder)) {
            const std::int64_t left = decoderDeadlineMs(decoder) - nowMs();
            timeoutMs = left < 0 ? 0 : (left < timeoutMs ? static_cast<int>(left) : timeoutMs);
        }
        pollfd input = {kInputFd, POLLIN, 0};
        poll(&input, 1, timeoutMs);
    }
}
