#include "monitor/byte_source.h"

#include "link/d2xx_linux.h"
#include "link/serial_line.h"
#include "monitor/port_holders.h"
#include "process/clock.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// How often a followed trace is looked at for new lines.
constexpr int kFollowPollMs = 50;
// A trace is read in pieces of this size, at most kTraceBurst of them a call,
// so that a long file still leaves room for the live view and for Ctrl+C.
constexpr std::size_t kReadChunk = 16384;
constexpr int kTraceBurst = 16;
// How much of the start of a followed trace is kept to tell when it is
// written anew: its first line, the open with its time, and some more.
constexpr std::size_t kHeadBytes = 64;

std::string reason() {
    return std::strerror(errno);
}

// The transmitter's line, raw, for reading: bytes that arrive with a parity
// or framing error, and breaks, are dropped. VMIN 1 makes a read with
// nothing waiting fail with EAGAIN and one after a hang-up return 0, so the
// two can be told apart.
void makeLine(termios* t) {
    setFraming(t, kLineFraming);
    cfsetispeed(t, kLineSpeed);
    cfsetospeed(t, kLineSpeed);
    makeRawLine(t);
    t->c_iflag |= INPCK | IGNBRK;
    t->c_cc[VMIN] = 1;
}

// The bytes that reached the line, out of the trace's records.
void takeAccepted(const std::vector<TraceRecord>& records, std::vector<LineByte>& out) {
    for (const TraceRecord& record : records) {
        if (isAcceptedWrite(record)) {
            out.push_back(LineByte{record.t, static_cast<std::uint8_t>(record.values[0])});
        }
    }
}

// Every trace begins with a trace line, so lines that are none of them trace
// lines mean some other file: all of it would pass unseen, with the summary
// "frames 0" as for a trace that is merely empty. A first line longer than
// any trace line is no trace either, whether it ever ends or not
// (/dev/zero).
bool stillATrace(ByteSource& source, std::size_t records, std::string& error) {
    source.traceLines += records;
    if (source.traceLines == 0 && (source.reader.malformed > 0 || source.reader.overlong)) {
        error = source.path + " is not a trace: it does not begin with an rcdrive-sim trace line";
        source.wrongKind = true;
        return false;
    }
    return true;
}

bool takeTraceText(ByteSource& source, const char* text, std::size_t length,
                   std::vector<LineByte>& out, std::string& error) {
    std::vector<TraceRecord> records;
    readTraceText(source.reader, text, length, records);
    takeAccepted(records, out);
    return stillATrace(source, records.size(), error);
}

// The input has ended: its last line, even without a line feed.
ReadResult finishTraceSource(ByteSource& source, std::vector<LineByte>& out, std::string& error) {
    std::vector<TraceRecord> records;
    finishTraceText(source.reader, records);
    takeAccepted(records, out);
    return stillATrace(source, records.size(), error) ? kReadEnd : kReadFailed;
}

// The trace is read from its start, as a new one.
void startTraceText(ByteSource& source) {
    source.offset = 0;
    source.head.clear();
    source.reader = TraceReader();
    source.traceLines = 0;
}

ReadResult readDevice(ByteSource& source, int waitMs, std::vector<LineByte>& out,
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
            out.push_back(LineByte{now, buffer[i]});
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

// Waits as a followed trace is polled: up to kFollowPollMs; a signal cuts it short.
void pause(int waitMs) {
    sleepNs(static_cast<std::int64_t>(waitMs < kFollowPollMs ? waitMs : kFollowPollMs) * kNsPerMs);
}

// Opens path for reading and tells what it is. A directory opens, but cannot
// be read: it fails with EISDIR.
int openReadable(const std::string& path, int flags, struct stat& st) {
    const int fd = open(path.c_str(), flags);
    if (fd < 0) {
        return -1;
    }
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        const int why = S_ISDIR(st.st_mode) ? EISDIR : errno;
        close(fd);
        errno = why;
        return -1;
    }
    return fd;
}

// Opens the trace at source.path, to be read from its start. O_NONBLOCK keeps
// the open of a FIFO that has no writer yet from blocking, where a signal
// could not end the wait; a FIFO is then read through poll(), anything else
// blocking as before. With follow a missing trace is no error: fd is -1 and
// it is looked for again. The descriptor it replaces is closed only after the
// new one is open, so that a FIFO never lacks a reader: a writer opening it
// then is not kept waiting or turned away.
bool openTracePath(ByteSource& source, std::string& error) {
    struct stat st {};
    const int fd = openReadable(source.path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, st);
    if (fd < 0 && !(source.follow && errno == ENOENT)) {
        error = "cannot open " + source.path + ": " + reason();
        return false;
    }
    source.fifo = fd >= 0 && S_ISFIFO(st.st_mode);
    if (fd >= 0 && !source.fifo) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    }
    if (source.fd >= 0) {
        close(source.fd);
    }
    source.fd = fd;
    startTraceText(source);
    return true;
}

// Whether a followed trace file was written anew since it was read up to
// source.offset. rcdrive-sim opens its trace for writing, which empties it,
// and may have written past the old offset again before the next look, so
// the size alone cannot tell. Its first line, the first attempt to open the
// transmitter, carries that moment in nanoseconds: the first bytes read are
// kept and compared with what the file begins with now. A file that is
// shorter than what was read, or that begins otherwise, was written anew.
// rcdrive-sim writes each line at once, so the bytes kept are at least that
// whole first line; a few leading digits alone could match a new run's.
bool traceRewritten(const ByteSource& source) {
    struct stat st {};
    if (source.offset == 0 || fstat(source.fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return false;
    }
    if (st.st_size < source.offset) {
        return true;
    }
    char first[kHeadBytes];
    const ssize_t n = pread(source.fd, first, source.head.size(), 0);
    return n >= 0 && (static_cast<std::size_t>(n) != source.head.size() ||
                      std::memcmp(first, source.head.data(), source.head.size()) != 0);
}

// Whether the path of a followed trace now names another file: the trace
// was deleted or renamed and a new one made there (rcdrive-sim started
// again). While nothing is at the path, the open file is still read: whoever
// writes it may still be at it.
bool traceReplaced(const ByteSource& source) {
    struct stat atPath {};
    struct stat opened {};
    return stat(source.path.c_str(), &atPath) == 0 && fstat(source.fd, &opened) == 0 &&
           (atPath.st_dev != opened.st_dev || atPath.st_ino != opened.st_ino);
}

ReadResult startOver(ByteSource& source, std::string& error) {
    if (lseek(source.fd, 0, SEEK_SET) != 0) {
        error = "cannot read " + source.path + " again: " + reason();
        return kReadFailed;
    }
    startTraceText(source);
    return kReadRestart;
}

// A trace through a FIFO, opened O_NONBLOCK. While it has had no writer since
// it was opened, poll() waits (Linux) and a read would return 0 as at the
// end. Once a writer has come and every writer has closed it, the read
// returns 0: the input ends, or with follow the FIFO is opened again, which
// makes poll() wait for the next writer; on the old descriptor it would
// report the hang-up at once on every call.
ReadResult readFifo(ByteSource& source, int waitMs, std::vector<LineByte>& out,
                    std::string& error) {
    pollfd p{source.fd, POLLIN, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready < 0 && errno != EINTR) {
        error = "cannot wait for " + source.path + ": " + reason();
        return kReadFailed;
    }
    if (ready <= 0) {
        return kReadNothing;
    }
    char buffer[kReadChunk];
    const ssize_t n = read(source.fd, buffer, sizeof buffer);
    if (n > 0) {
        return takeTraceText(source, buffer, static_cast<std::size_t>(n), out, error) ? kReadBytes
                                                                                      : kReadFailed;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return kReadNothing;
    }
    if (n < 0) {
        error = "cannot read " + source.path + ": " + reason();
        return kReadFailed;
    }
    if (!source.follow) {
        return finishTraceSource(source, out, error);
    }
    return openTracePath(source, error) ? kReadRestart : kReadFailed;
}

ReadResult readTraceSource(ByteSource& source, int waitMs, std::vector<LineByte>& out,
                           std::string& error) {
    if (source.fd < 0) { // followed, and not there yet
        if (!openTracePath(source, error)) {
            return kReadFailed;
        }
        if (source.fd < 0) {
            pause(waitMs);
            return kReadNothing;
        }
    }
    if (source.fifo) {
        return readFifo(source, waitMs, out, error);
    }
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
        // Looked at after the read: a file written anew before or during it
        // gave the new text at the old offset, which is dropped.
        if (source.follow && traceRewritten(source)) {
            if (!any) {
                return startOver(source, error);
            }
            // What came before belongs to the old text: handed on first, and
            // the next call starts over.
            if (lseek(source.fd, source.offset, SEEK_SET) < 0) {
                error = "cannot read " + source.path + ": " + reason();
                return kReadFailed;
            }
            return kReadBytes;
        }
        if (n == 0) {
            break;
        }
        if (source.follow && source.offset < static_cast<off_t>(kHeadBytes)) {
            const std::size_t room = kHeadBytes - static_cast<std::size_t>(source.offset);
            source.head.append(
                buffer, static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room);
        }
        source.offset += n;
        if (!takeTraceText(source, buffer, static_cast<std::size_t>(n), out, error)) {
            return kReadFailed;
        }
        any = true;
    }
    if (any) {
        return kReadBytes;
    }
    if (!source.follow) {
        return finishTraceSource(source, out, error);
    }
    // Only once the open file has been read to its end, so that nothing
    // written to it before it was replaced is lost.
    if (traceReplaced(source)) {
        return openTracePath(source, error) ? kReadRestart : kReadFailed;
    }
    pause(waitMs);
    return kReadNothing;
}

// Opens path for reading; a directory opens, but cannot be read. Why a
// device cannot be opened is told as rcdrive tells it: the group to be in.
bool openForReading(const std::string& path, int flags, ByteSource& source, std::string& error) {
    source.path = path;
    struct stat st {};
    source.fd = openReadable(path, flags, st);
    if (source.fd < 0) {
        error = "cannot open " + portOpenError(path, errno);
        return false;
    }
    return true;
}

// Whether another program holds the device: one that /proc shows with it
// open, or one that holds it locked as rcdrive does. Reading beside it
// would show its bytes, or take the bytes it reads.
bool heldElsewhere(const ByteSource& source, std::string& error) {
    const std::string holders = portHolders(source.path);
    const bool locked = flock(source.fd, LOCK_SH | LOCK_NB) != 0;
    flock(source.fd, LOCK_UN);
    if (holders.empty() && !locked) {
        return false;
    }
    error = portOpenError(source.path, EBUSY) + (holders.empty() ? "" : ": " + holders) +
            "; --shared reads beside it";
    return true;
}

// Whether the file begins with a whole trace line.
bool beginsWithTraceLine(int fd) {
    char text[kMaxTraceLine + 1];
    const ssize_t n = pread(fd, text, sizeof text, 0);
    const char* newline =
        n > 0 ? static_cast<const char*>(std::memchr(text, '\n', static_cast<std::size_t>(n)))
              : nullptr;
    TraceRecord record;
    return newline != nullptr &&
           parseTraceLine(text, static_cast<std::size_t>(newline - text), &record);
}

// A DEVICE that is no terminal: a file or FIFO is taken for the line's bytes,
// recorded, but a trace is not: its text would count as thousands of invalid
// bytes. A device that is no terminal (/dev/null, a disk) is no serial line.
bool readableAsLine(ByteSource& source, std::string& error) {
    struct stat st {};
    if (fstat(source.fd, &st) != 0) {
        error = "cannot look at " + source.path + ": " + reason();
        return false;
    }
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) {
        error = source.path + " is not a serial line: a device, but no terminal";
        source.wrongKind = true;
        return false;
    }
    if (S_ISREG(st.st_mode) && beginsWithTraceLine(source.fd)) {
        error = source.path + " is an rcdrive-sim trace: read it with --trace " + source.path;
        source.wrongKind = true;
        return false;
    }
    return true;
}

} // namespace

bool openDeviceSource(const std::string& path, bool shared, ByteSource& source, std::string& error,
                      std::string& warning) {
    source = ByteSource();
    source.kind = kDeviceSource;
    if (!openForReading(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC, source, error)) {
        return false;
    }
    if (!isatty(source.fd)) {
        if (!readableAsLine(source, error)) {
            closeSource(source);
            return false;
        }
        return true;
    }
    if (!shared && heldElsewhere(source, error)) {
        closeSource(source);
        return false;
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
    if (!lineTook(source.fd, wanted)) {
        warning = path + " did not take 1200 baud, 8 data bits, even parity, 1 stop bit; "
                         "reading it as it is";
    }
    return true;
}

bool openTraceSource(const std::string& path, bool follow, ByteSource& source, std::string& error) {
    source = ByteSource();
    source.kind = kTraceSource;
    source.path = path;
    source.follow = follow;
    return openTracePath(source, error);
}

ReadResult readSource(ByteSource& source, int waitMs, std::vector<LineByte>& out,
                      std::string& error) {
    if (source.kind == kTraceSource) {
        return readTraceSource(source, waitMs, out, error);
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
