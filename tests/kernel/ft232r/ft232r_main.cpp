// rcdrive-ft232r: emulated FT232R chips, plugged into this machine's
// vhci_hcd over USB/IP, for the kernel's own ftdi_sio driver to drive. Each
// chip sends what it is given at the rate and framing the driver set, and
// every control request and every byte that goes onto its wire is logged
// with the monotonic time.
//
//   rcdrive-ft232r CONTROL
//
// CONTROL is a FIFO the chips are steered through, one command a line:
//   log FILE            append the log to FILE from now on
//   plug ID [PRODUCT]   a new chip ID, product "dimsal" unless given, or ID again
//   unplug ID           pulls ID out; plugged again it starts from power-on
//   stall ID MS         ID's OUT endpoint takes nothing for MS
//   tap FROM TO         FROM's wire is wired to TO's receive pin
// Log lines: "<ns> <id> plug <port> <product>", "<ns> <id> unplug",
// "<ns> <id> ctrl <type> <request> <value> <index> <length>" (hex),
// "<ns> <id> wire <byte>" with the time the byte started, "<ns> <id> stall <ms>".
#include "tests/kernel/ft232r/ft232r.h"
#include "tests/kernel/ft232r/usbip.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <sstream>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// What the transmitter's chip says it is.
const char* const kTransmitterProduct = "dimsal";

constexpr std::int32_t kStalled = -32;    // -EPIPE: the chip refused
constexpr std::int32_t kCancelled = -104; // -ECONNRESET: unlinked in time
constexpr std::uint32_t kBulkIn = 1;      // endpoint 0x81
constexpr std::uint32_t kBulkOut = 2;     // endpoint 0x02
constexpr std::int64_t kNsPerMs = 1000000;

struct Transfer {
    std::uint32_t seqnum;
    std::uint32_t length;
    std::vector<std::uint8_t> data; // OUT: the bytes; taken from the front
};

struct Chip {
    std::string id;
    Ft232r chip;
    int fd = -1; // our end of the USB/IP socket; -1 while unplugged
    int port = -1;
    std::vector<std::uint8_t> received;
    std::deque<Transfer> outs;
    std::deque<Transfer> ins;
    std::int64_t nextInNs = 0;
    std::int64_t stalledUntilNs = 0;
    std::string tapTo;
};

std::deque<Chip> chips;
std::FILE* logFile = nullptr;

std::int64_t nowNs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

void logLine(std::int64_t t, const std::string& id, const char* format, ...) {
    if (logFile == nullptr) {
        return;
    }
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    std::fprintf(logFile, "%lld %s %s\n", static_cast<long long>(t), id.c_str(), text);
}

Chip* findChip(const std::string& id) {
    for (Chip& c : chips) {
        if (c.id == id) {
            return &c;
        }
    }
    return nullptr;
}

void unplug(Chip& c, const char* why) {
    if (c.fd < 0) {
        return;
    }
    vhciDetach(c.port);
    close(c.fd);
    c.fd = -1;
    c.received.clear();
    c.outs.clear();
    c.ins.clear();
    logLine(nowNs(), c.id, "%s", why);
}

void send(Chip& c, const std::vector<std::uint8_t>& message) {
    std::size_t done = 0;
    while (c.fd >= 0 && done < message.size()) {
        const ssize_t n = write(c.fd, message.data() + done, message.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            unplug(c, "gone");
        }
    }
}

// Runs the UART up to now; each byte that starts goes into the log and, when
// the line is tapped by a chip set to the same rate and framing, to its
// receive buffer.
void runUart(Chip& c, std::int64_t now) {
    ft232rRunUart(c.chip, now, [&](std::uint8_t value, std::int64_t start) {
        logLine(start, c.id, "wire %02x", value);
        Chip* tap = findChip(c.tapTo);
        if (tap != nullptr && tap->fd >= 0 && tap->chip.divisorValue == c.chip.divisorValue &&
            tap->chip.divisorIndex == c.chip.divisorIndex &&
            tap->chip.dataSetting == c.chip.dataSetting) {
            ft232rReceive(tap->chip, value);
        }
    });
}

// Moves what the OUT transfers hold into the chip as it has room, completing
// each once it is all in, and answers a waiting IN transfer when the latency
// timer runs out.
void service(Chip& c, std::int64_t now) {
    runUart(c, now);
    while (now >= c.stalledUntilNs && !c.outs.empty()) {
        Transfer& t = c.outs.front();
        const std::size_t taken = ft232rTake(c.chip, t.data.data(), t.data.size(), now);
        t.data.erase(t.data.begin(), t.data.begin() + taken);
        runUart(c, now);
        if (!t.data.empty()) {
            break;
        }
        send(c, usbipRetSubmit(t.seqnum, 0, t.length, {}));
        c.outs.pop_front();
    }
    if (!c.ins.empty() && now >= c.nextInNs) {
        const Transfer t = c.ins.front();
        c.ins.pop_front();
        const std::vector<std::uint8_t> packet = ft232rInPacket(c.chip, t.length, now);
        send(c, usbipRetSubmit(t.seqnum, 0, static_cast<std::uint32_t>(packet.size()), packet));
        c.nextInNs = now + c.chip.latencyMs * kNsPerMs;
    }
}

// When service has something to do next; -1 for nothing.
std::int64_t nextDueNs(const Chip& c) {
    std::int64_t due = ft232rNextStartNs(c.chip);
    auto sooner = [&due](std::int64_t t) { due = due < 0 ? t : std::min(due, t); };
    if (!c.ins.empty()) {
        sooner(c.nextInNs);
    }
    if (!c.outs.empty() && c.stalledUntilNs > nowNs()) {
        sooner(c.stalledUntilNs);
    }
    return due;
}

bool cancel(std::deque<Transfer>& transfers, std::uint32_t seqnum) {
    auto it = std::find_if(transfers.begin(), transfers.end(),
                           [seqnum](const Transfer& t) { return t.seqnum == seqnum; });
    if (it == transfers.end()) {
        return false;
    }
    transfers.erase(it);
    return true;
}

void handle(Chip& c, const UsbipCommand& m, std::int64_t now) {
    if (m.unlink) {
        const bool found = cancel(c.outs, m.unlinkSeqnum) || cancel(c.ins, m.unlinkSeqnum);
        send(c, usbipRetUnlink(m.seqnum, found ? kCancelled : 0));
        return;
    }
    if (m.endpoint == 0) {
        const SetupPacket s = {m.setup[0], m.setup[1],
                               static_cast<std::uint16_t>(m.setup[2] | m.setup[3] << 8),
                               static_cast<std::uint16_t>(m.setup[4] | m.setup[5] << 8),
                               static_cast<std::uint16_t>(m.setup[6] | m.setup[7] << 8)};
        logLine(now, c.id, "ctrl %02x %02x %04x %04x %u", s.requestType, s.request, s.value,
                s.index, s.length);
        const ControlReply r = ft232rControl(c.chip, s, now);
        const std::uint32_t actual = m.in ? static_cast<std::uint32_t>(r.data.size()) : m.length;
        send(c, r.stall ? usbipRetSubmit(m.seqnum, kStalled, 0, {})
                        : usbipRetSubmit(m.seqnum, 0, actual,
                                         m.in ? r.data : std::vector<std::uint8_t>{}));
    } else if (m.endpoint == kBulkOut && !m.in) {
        c.outs.push_back(Transfer{m.seqnum, m.length, m.data});
    } else if (m.endpoint == kBulkIn && m.in) {
        c.ins.push_back(Transfer{m.seqnum, m.length, {}});
    } else {
        send(c, usbipRetSubmit(m.seqnum, kStalled, 0, {}));
    }
}

void readSocket(Chip& c, std::int64_t now) {
    std::uint8_t buffer[4096];
    const ssize_t n = recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n <= 0) {
        if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            unplug(c, "gone");
        }
        return;
    }
    c.received.insert(c.received.end(), buffer, buffer + n);
    UsbipCommand m;
    bool bad = false;
    while (c.fd >= 0 && usbipTakeCommand(c.received, m, &bad)) {
        handle(c, m, now);
    }
    if (bad) {
        unplug(c, "gone");
    }
}

void plug(const std::string& id, const std::string& product) {
    Chip* c = findChip(id);
    if (c == nullptr) {
        chips.push_back(Chip{});
        c = &chips.back();
        c->id = id;
        c->chip = ft232rPoweredOn(product.empty() ? kTransmitterProduct : product, "RC" + id);
    } else if (c->fd >= 0) {
        return;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return;
    }
    const std::uint32_t devid = 0x10000 | static_cast<std::uint32_t>(chips.size() + 1);
    c->port = vhciAttach(pair[1], devid);
    close(pair[1]); // vhci_hcd holds its own reference
    if (c->port < 0) {
        close(pair[0]);
        logLine(nowNs(), id, "plug failed");
        return;
    }
    c->chip = ft232rPoweredOn(c->chip.product, c->chip.serial);
    c->fd = pair[0];
    c->stalledUntilNs = 0;
    logLine(nowNs(), id, "plug %d %s", c->port, c->chip.product.c_str());
}

void command(const std::string& line) {
    std::istringstream words(line);
    std::string verb, id, rest;
    words >> verb >> id;
    std::getline(words >> std::ws, rest);
    Chip* c = findChip(id);
    if (verb == "log") {
        if (logFile != nullptr) {
            std::fclose(logFile);
        }
        logFile = std::fopen(id.c_str(), "ae");
        if (logFile != nullptr) {
            setvbuf(logFile, nullptr, _IOLBF, 0);
        }
    } else if (verb == "plug") {
        plug(id, rest);
    } else if (verb == "unplug" && c != nullptr) {
        unplug(*c, "unplug");
    } else if (verb == "stall" && c != nullptr) {
        const std::int64_t now = nowNs();
        c->stalledUntilNs = now + std::atoll(rest.c_str()) * kNsPerMs;
        logLine(now, id, "stall %s", rest.c_str());
    } else if (verb == "tap" && c != nullptr) {
        c->tapTo = rest;
    } else {
        std::fprintf(stderr, "rcdrive-ft232r: not understood: %s\n", line.c_str());
    }
}

void readControl(int fd, std::string& pending) {
    char buffer[1024];
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) {
        return;
    }
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
        command(pending.substr(0, end));
        pending.erase(0, end + 1);
    }
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: rcdrive-ft232r CONTROL\n");
        return 2;
    }
    // Read and write: the FIFO never reads as ended when a writer goes.
    const int control = open(argv[1], O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (control < 0) {
        std::perror(argv[1]);
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    std::string pending;
    for (;;) {
        std::vector<pollfd> fds = {{control, POLLIN, 0}};
        std::int64_t due = -1;
        for (Chip& c : chips) {
            if (c.fd >= 0) {
                fds.push_back({c.fd, POLLIN, 0});
                const std::int64_t t = nextDueNs(c);
                due = t < 0 ? due : (due < 0 ? t : std::min(due, t));
            }
        }
        timespec wait{};
        const std::int64_t left = due < 0 ? -1 : std::max<std::int64_t>(0, due - nowNs());
        wait.tv_sec = left / 1000000000;
        wait.tv_nsec = left % 1000000000;
        ppoll(fds.data(), fds.size(), left < 0 ? nullptr : &wait, nullptr);
        const std::int64_t now = nowNs();
        for (std::size_t i = 1; i < fds.size(); ++i) {
            for (Chip& c : chips) {
                if (c.fd == fds[i].fd && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
                    readSocket(c, now);
                }
            }
        }
        for (Chip& c : chips) {
            if (c.fd >= 0) {
                service(c, nowNs());
            }
        }
        if (fds[0].revents & POLLIN) {
            readControl(control, pending);
        }
    }
}
