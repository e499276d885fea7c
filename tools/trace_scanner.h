// Picks the bytes that reached the line out of an rcdrive-sim trace. Only
// lines of the form "<t> write <XX> 0" count; every other line, whole or
// broken, is passed over. The text may arrive in pieces of any size, as it
// does from a file that is still being written.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A byte on the line and when it started there (the trace's clock, ns).
struct TimedByte {
    std::int64_t t;
    std::uint8_t byte;
};

// No line the simulator writes comes near this; a longer one is dropped whole
// without being kept in memory.
constexpr std::size_t kMaxTraceLine = 256;

struct TraceScanner {
    std::string partial;   // the unfinished last line
    bool overlong = false; // the unfinished line went past kMaxTraceLine
};

// True if line (without its line feed) records a byte that reached the line.
bool parseTraceWrite(const char* line, std::size_t length, TimedByte* out);

// Takes the next piece of text; appends the bytes of the lines it completes.
void scanTrace(TraceScanner& scanner, const char* text, std::size_t length,
               std::vector<TimedByte>& out);

// The text has ended: reads the last line even without its line feed.
void finishTrace(TraceScanner& scanner, std::vector<TimedByte>& out);

// Forgets the unfinished line: for a trace that starts over.
void restartTrace(TraceScanner& scanner);
