// Where the monitor's bytes come from: a serial device set up as the
// transmitter's line, or an rcdrive-sim trace, read once or followed as it
// grows, is written anew or replaced. A trace may also come through a FIFO.
#pragma once

#include "trace/trace_format.h"

#include <string>
#include <sys/types.h>
#include <termios.h>
#include <vector>

enum SourceKind { kDeviceSource, kTraceSource };

struct ByteSource {
    SourceKind kind = kDeviceSource;
    std::string path;
    int fd = -1;
    bool follow = false;   // a trace: keep reading it; fd is -1 while it is not there yet
    bool fifo = false;     // a trace that comes through a FIFO
    bool terminal = false; // a device that is a terminal; its settings are put back on close
    termios savedLine{};
    off_t offset = 0; // a trace: how far it has been read
    std::string head; // a followed trace file: its first bytes, to tell when it is written anew
    TraceReader reader;
    std::size_t traceLines = 0; // trace lines read since the trace was (re)started
    bool wrongKind = false;     // refused as not what it was given as: see error
};

enum ReadResult {
    kReadBytes,   // bytes came
    kReadNothing, // nothing yet, or a signal cut the wait short
    kReadEnd,     // the input has ended (end of file, or the device hung up)
    kReadFailed,  // see error
    kReadRestart, // a followed trace was written anew or replaced, or the writer of a
                  // followed FIFO closed it: what comes next is unrelated to what came before
};

// Opens a serial device read-only and sets it to 1200 baud, 8 data bits,
// even parity, 1 stop bit, raw, no flow control; bytes that arrive with a
// parity or framing error are dropped by the driver. A device that another
// program holds is refused, naming the holder where /proc shows it, unless
// shared says that reading beside it is meant. A file or FIFO is read as it
// is, as the line's bytes, unless it is an rcdrive-sim trace; a device that
// is no terminal is no serial line; both are refused with wrongKind set. If
// the device takes the settings only in part (a pseudo-terminal has no
// parity) the reason is put in warning.
bool openDeviceSource(const std::string& path, bool shared, ByteSource& source, std::string& error,
                      std::string& warning);

// Opens a trace file or FIFO; neither blocks. With follow, a trace that is
// not there yet is no error: it is looked for again on every read.
bool openTraceSource(const std::string& path, bool follow, ByteSource& source, std::string& error);

// Waits up to waitMs for input and appends what came. Bytes from a device
// carry the time they were read; bytes from a trace carry the trace's time.
// A trace whose lines so far, one or more, are none of them trace lines, or
// whose first line runs on past any trace line's length, is no trace:
// kReadFailed with wrongKind set.
// A trace read once ends at the end of the file, or when the writer of the
// FIFO closes it. A followed trace that was written anew (emptied, or begun
// with other text) or replaced by a new file at its path is read from its
// start, after a kReadRestart; so is a followed FIFO's next writer.
ReadResult readSource(ByteSource& source, int waitMs, std::vector<LineByte>& out,
                      std::string& error);

// True when the bytes' times run on this machine's monotonic clock now, so
// that "the last second" means the second up to now.
bool isLive(const ByteSource& source);

void closeSource(ByteSource& source);
