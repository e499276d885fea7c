#include "tools/byte_source.h"

#include "link/clock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a followed trace is looked at for new lines.
constexpr int kFollowPollMs = 50;
// A trace is read in pieces of this size, at most kTraceBurst of them a call,
// so that a long file still leaves room for the live view and for Ctrl+C.
constexpr std::size_t kReadChunk = 16384;
constexpr int kTraceBurst = 16;

constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;

std::string reason() {
    return std::strerror(errno);
}

// 1200 baud 8E1, raw bytes. VMIN 1 makes a read with nothing waiting fail
// with EAGAIN and one after a hang-up return 0, so the two can be told apart.
void makeLine(termios* t) {
    cfmakeraw(t);
    t->c_cflag &= ~(kFramingBits | CRTSCTS);
    t->c_cflag |= CS8 | PARENB | CLOCAL | CREAD;
    t->c_iflag &= ~(IXON | IXOFF | IXANY | PARMRK | ISTRIP);
    t->c_iflag |= INPCK | IGNPAR | IGNBRK;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
    cfsetispeed(t, B1200);
    cfsetospeed(t, B1200);
}

ReadResult readDevice(ByteSource& source, int waitMs, std::vector<TimedByte>& out,
                      std::string& error) {
    pollfd p{source.fd, POLLIN, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready < 0) {
        if (errno == EINTR) {
            return kReadNothing;
        }
        error = "cannot wait for " + source.path + ": " + reason();
        return kReadFailed;
    }
    if (ready == 0) {
        return kReadNothing;
    }
    unsigned char buffer[4096];
    const ssize_t n = read(source.fd, buffer, sizeof buffer);
    if (n > 0) {
        const std::int64_t now = monotonicNs();
        for (ssize_t i = 0; i < n; ++i) {
            out.push_back(TimedByte{now, buffer[i]});
        }
        return kReadBytes;
    }
    if (n == 0 || errno == EIO) {
        return kReadEnd; // end of file, or the device went away
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
        return kReadNothing;
    }
    error = "cannot read " + source.path + ": " + reason();
    return kReadFailed;
}

// A followed trace that is shorter than what was read of it has been
// written anew (rcdrive-sim opens it for writing, which empties it).
bool traceStartedOver(const ByteSource& source) {
    struct stat st {};
    return fstat(source.fd, &st) == 0 && st.st_size < source.offset;
}

ReadResult readTrace(ByteSource& source, int waitMs, std::vector<TimedByte>& out,
                     std::string& error) {
    char buffer[kReadChunk];
    bool any = false;
    for (int i = 0; i < kTraceBurst; ++i) {
        const ssize_t n = read(source.fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) {
            return any ? kReadBytes : kReadNothing;
        }
        if (n < 0) {
            error = "cannot read " + source.path + ": " + reason();
            return kReadFailed;
        }
        if (n == 0) {
            break;
        }
        source.offset += n;
        scanTrace(source.scanner, buffer, static_cast<std::size_t>(n), out);
        any = true;
    }
    if (any) {
        return kReadBytes;
    }
    if (!source.follow) {
        finishTrace(source.scanner, out);
        return kReadEnd;
    }
    if (traceStartedOver(source)) {
        restartTrace(source.scanner);
        if (lseek(source.fd, 0, SEEK_SET) != 0) {
            error = "cannot read " + source.path + " again: " + reason();
            return kReadFailed;
        }
        source.offset = 0;
        return kReadRestart;
    }
    sleepNs(static_cast<std::int64_t>(waitMs < kFollowPollMs ? waitMs : kFollowPollMs) * kNsPerMs);
    return kReadNothing;
}

// Opens path for reading; a directory opens, but cannot be read.
bool openForReading(const std::string& path, int flags, ByteSource& source, std::string& error) {
    source.path = path;
    source.fd = open(path.c_str(), flags);
    struct stat st {};
    if (source.fd >= 0 && fstat(source.fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(source.fd);
        source.fd = -1;
        errno = EISDIR;
    }
    if (source.fd < 0) {
        error = "cannot open " + path + ": " + reason();
        return false;
    }
    return true;
}

} // namespace

bool openDevice(const std::string& path, ByteSource& source, std::string& error,
                std::string& warning) {
    source = ByteSource();
    source.kind = kDeviceSource;
    if (!openForReading(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, source, error)) {
        return false;
    }
    if (!isatty(source.fd)) {
        return true;
    }
    if (tcgetattr(source.fd, &source.savedLine) != 0) {
        error = "cannot read the line settings of " + path + ": " + reason();
        closeSource(source);
        return false;
    }
    termios wanted = source.savedLine;
    makeLine(&wanted);
    if (tcsetattr(source.fd, TCSANOW, &wanted) != 0) {
        error = "cannot set up the line of " + path + ": " + reason();
        closeSource(source);
        return false;
    }
    source.terminal = true;
    termios got{};
    if (tcgetattr(source.fd, &got) != 0 ||
        (got.c_cflag & kFramingBits) != (wanted.c_cflag & kFramingBits) ||
        cfgetispeed(&got) != B1200) {
        warning = path + " did not take 1200 baud, 8 data bits, even parity, 1 stop bit; "
                         "reading it as it is";
    }
    return true;
}

bool openTrace(const std::string& path, bool follow, ByteSource& source, std::string& error) {
    source = ByteSource();
    source.kind = kTraceSource;
    source.follow = follow;
    return openForReading(path, O_RDONLY | O_CLOEXEC, source, error);
}

ReadResult readSource(ByteSource& source, int waitMs, std::vector<TimedByte>& out,
                      std::string& error) {
    if (source.kind == kTraceSource) {
        return readTrace(source, waitMs, out, error);
    }
    return readDevice(source, waitMs, out, error);
}

bool isLive(const ByteSource& source) {
    return source.kind == kDeviceSource || source.follow;
}

void closeSource(ByteSource& source) {
    if (source.fd < 0) {
        return;
    }
    if (source.terminal) {
        tcsetattr(source.fd, TCSANOW, &source.savedLine);
    }
    close(source.fd);
    source.fd = -1;
}
