// The virtual transmitter's trace: one line per driver call and per byte,
// written as it happens, for other programs to follow:
//
//   <t> open "<description>" <flags> <status>
//   <t> baud <rate> <status>
//   <t> data <wordLength> <stopBits> <parity> <status>
//   <t> write <XX> <status>      (for an accepted byte, <t> is when it starts on the line)
//   <t> close <status>
//
// <t> is the monotonic clock in nanoseconds, XX the byte in hexadecimal,
// <status> the driver's status (0 for FT_OK). Lines end in a bare line feed.
// A byte written while the chip takes nothing is traced once it goes onto
// the line, and not at all if the port is closed first.
//
// The writer formats records; the reader takes text in pieces of any size,
// as it comes from a file that is still being written, and gives back the
// records of the lines it completes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A byte on the line, and when it started there (ns): out of a trace, or off
// a device wired to the line.
struct LineByte {
    std::int64_t t;
    std::uint8_t value;
};

// A whole frame on the line, and when its first byte started there (ns).
struct Frame {
    std::int64_t t;
    std::uint8_t speed;
    std::uint8_t steer;
    std::uint8_t checksum;
};

enum class TraceKind : std::uint8_t { Open, Baud, Data, Write, Close };

struct TraceRecord {
    std::int64_t t = 0;
    TraceKind kind = TraceKind::Open;
    std::string description;      // open: the description asked for
    std::uint32_t values[3] = {}; // open: flags; baud: rate; data: word length,
                                  // stop bits, parity; write: the byte
    std::uint32_t status = 0;
};

// No line the simulator writes comes near this; a longer one is passed over
// whole without being kept in memory.
constexpr std::size_t kMaxTraceLine = 256;

// The line for a record, its line feed included.
std::string formatTraceLine(const TraceRecord& record);

// A record from one line (without its line feed; a carriage return before
// it is allowed); false if the line is not a trace line.
bool parseTraceLine(const char* line, std::size_t length, TraceRecord* record);

struct TraceReader {
    std::string partial;       // the unfinished last line
    bool overlong = false;     // the unfinished line went past kMaxTraceLine
    std::size_t malformed = 0; // complete lines that were no trace lines
};

// Takes the next piece of text; appends the records of the lines it completes.
void readTraceText(TraceReader& reader, const char* text, std::size_t length,
                   std::vector<TraceRecord>& out);

// The text has ended: reads the last line even without its line feed.
void finishTraceText(TraceReader& reader, std::vector<TraceRecord>& out);

// A whole trace file as it is now; a last line still being written is left
// out. Empty if the file cannot be read.
std::vector<TraceRecord> readTraceFile(const std::string& path);

// The kind's word in the trace: "open", "baud", "data", "write", "close".
const char* traceKindName(TraceKind kind);

// Whether the record is a byte that reached the line.
bool isAcceptedWrite(const TraceRecord& record);
