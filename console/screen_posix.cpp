// The screen on a POSIX terminal or pipe: text written without waiting, and
// the terminal's own clear. Text the output does not take at once is
// dropped; output that fails for good is given up.
#include "console/console.h"
#include "console/console_posix.h"
#include "process/signals.h"

#include <cstring>
#include <sys/socket.h>
#include <termios.h>

namespace {

constexpr int kOutputFd = STDOUT_FILENO;
constexpr char kClear[] = "\x1b[H\x1b[2J";

// EINTR retries a write gets, and only while no request to end is in: a
// signal that keeps coming (SIGTTOU for each write of a background job) must
// not hold the program in one write.
constexpr int kWriteRetries = 3;

struct Screen {
    StreamKind kind = StreamKind::Shared;
    int fd = kOutputFd;
    bool kept = false; // the console is open: the screen is tracked
    std::string text;  // what was written since the last clear
    bool torn = false; // some of it was dropped
    bool dead = false; // the output failed for good: nothing is written any more
};

Screen screen;

// A background job must not write to a terminal set to suspend it for that.
bool outputHeldBack() {
    termios t{};
    return inBackground(screen.fd) && tcgetattr(screen.fd, &t) == 0 && (t.c_lflag & TOSTOP);
}

// Writes what the output takes now; true if all of it went.
bool writeNow(const char* text, std::size_t length) {
    if (screen.dead || (length > 0 && outputHeldBack())) {
        return false;
    }
    int retries = kWriteRetries;
    while (length > 0) {
        const ssize_t done =
            screen.kind == StreamKind::Socket
                ? send(screen.fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL)
            : screen.kind == StreamKind::Shared
                ? withoutWaiting(screen.fd, [&] { return write(screen.fd, text, length); })
                : write(screen.fd, text, length);
        if (done > 0) {
            text += done;
            length -= static_cast<std::size_t>(done);
        } else if (done < 0 && errno == EINTR) {
            if (--retries < 0 || exitRequested()) {
                return false;
            }
        } else {
            // Full for now (EAGAIN), or failed for good: a closed pipe, a
            // full disk, a terminal that hung up. Such an output is always
            // "ready" and always fails; waiting on it would spin.
            screen.dead = done < 0 && errno != EAGAIN && errno != EWOULDBLOCK;
            return false;
        }
    }
    return true;
}

} // namespace

void screenOpen() {
    screen.dead = false;
    screen.kind = takeStream(kOutputFd, O_WRONLY, screen.fd);
    screen.kept = true;
}

void screenClose() {
    releaseStream(screen.kind, screen.fd, kOutputFd);
    screen.kept = false;
    screen.text.clear();
    screen.torn = false;
}

int screenRepairFd() {
    return screen.torn && !screen.dead && !outputHeldBack() ? screen.fd : -1;
}

void repairScreen() {
    if (!screen.torn || screen.dead) {
        return;
    }
    const std::string whole = kClear + screen.text;
    screen.torn = !writeNow(whole.data(), whole.size());
}

void writeText(const char* text) {
    if (!screen.kept) {
        writeNow(text, std::strlen(text));
        return;
    }
    screen.text += text;
    if (!screen.torn) {
        screen.torn = !writeNow(text, std::strlen(text));
    }
}

void clearScreen() {
    if (!screen.kept) {
        writeNow(kClear, sizeof kClear - 1);
        return;
    }
    screen.text.clear();
    // A clear that goes out whole leaves a known screen, whatever was torn;
    // its leading ESC also ends any sequence a dropped write cut in half.
    screen.torn = !writeNow(kClear, sizeof kClear - 1);
}
