// Where the virtual transmitter's trace goes: a file, or a FIFO or terminal
// that someone reads as it is written. Writing never holds the program up:
// lines that a reader does not take at once wait in memory (up to
// kTraceHoldBytes; lines beyond that are lost) and go out with later ones.
// A FIFO with no reader yet does not hold up the start either: its lines
// wait in the FIFO until one comes.
#pragma once

#include <cstddef>
#include <string>

constexpr std::size_t kTraceHoldBytes = 1 << 20;

// Opens the trace, takes it for this run alone and empties it; false, with
// the reason, if it cannot. busy says that another run is writing it: it is
// then left as it is, so that two runs never mix their lines in one trace.
// The room for held lines is taken here: a trace that cannot have it is
// refused, rather than losing lines later.
bool openTraceFile(const std::string& path, std::string& error, bool& busy);

// Writes one whole line, its line feed included.
void writeTraceLine(const char* line, std::size_t length);

// Lines still held go out if the reader takes them within about 50 ms;
// the rest are lost. Then the trace is closed.
void closeTraceFile();
