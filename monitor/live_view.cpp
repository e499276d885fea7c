#include "monitor/live_view.h"

#include <cstring>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

constexpr std::int64_t kRedrawNs = 200 * 1000000LL; // five times a second

// A drawing the terminal does not take at once (its output stopped with
// Ctrl+S) is skipped, not waited for: the next one comes a moment later, and
// nothing holds the monitor when it is asked to end.
void show(const char* text) {
    pollfd output = {STDOUT_FILENO, POLLOUT, 0};
    if (poll(&output, 1, 0) == 1 && (output.revents & POLLOUT) != 0) {
        (void)!write(STDOUT_FILENO, text, std::strlen(text));
    }
}

// Lines are cut to the terminal's width: a line that wrapped would throw the
// cursor moves off, and every redraw would leave a copy behind.
std::string fitted(std::string line) {
    winsize size{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 1 &&
        line.size() >= size.ws_col) {
        line.resize(size.ws_col - 1u);
    }
    return line;
}

// Both lines, then back to the start of the first one. Everything below the
// first line is cleared too: after the terminal was made narrower, it may
// hold the rewrapped rest of an earlier, wider drawing.
void draw(const LineWatch& watch, std::int64_t rateEnd, std::int64_t silentNs) {
    const std::string text = "\r\x1b[K" + fitted(commandLine(watch)) + "\n\r\x1b[J" +
                             fitted(countsLine(watch, rateEnd, silentNs)) + "\r\x1b[1A";
    show(text.c_str());
}

} // namespace

void startLiveView(LiveView& view) {
    view = LiveView();
    view.active = isatty(STDOUT_FILENO) != 0;
}

void updateLiveView(LiveView& view, const LineWatch& watch, std::int64_t rateEnd,
                    std::int64_t silentNs, std::int64_t now) {
    if (!view.active || now < view.nextDrawNs) {
        return;
    }
    draw(watch, rateEnd, silentNs);
    view.nextDrawNs = now + kRedrawNs;
}

void endLiveView(LiveView& view, const LineWatch& watch, std::int64_t rateEnd,
                 std::int64_t silentNs) {
    if (!view.active) {
        return;
    }
    draw(watch, rateEnd, silentNs);
    show("\x1b[1B\n"); // below the second line
    view.active = false;
}
