// Keeps one-byte writes in step with the serial line, so that no more than
// about one byte waits ahead of a fresh command anywhere between the program
// and the wire, while the line still never runs dry.
//
// The library gives no view of the device's queue, so the pacer keeps its own
// estimate: when the bytes written so far will have left the line. It paces
// a little slower than the nominal line rate (kPaceMarginPpm), so that a line
// up to that much slower than nominal still cannot build a backlog; on a
// faster line the chip merely idles a little between bytes.
// Pure timing logic; the caller supplies the clock.
#pragma once

#include "link/wire_format.h"

#include <cstdint>

// A USB full-speed device's clock, which the chip's UART runs from, may be
// off by up to 2500 ppm, and the PC's clock a little too. Pacing 3000 ppm
// slow means no line within that can build a backlog in the chip, at a cost
// of about 0.3 % of the line left idle.
constexpr std::int64_t kPaceMarginPpm = 3000;
constexpr std::int64_t kPacedByteNs = kNominalByteNs + kNominalByteNs * kPaceMarginPpm / 1000000;

// How far the writes may run ahead of the line at first: one byte covers the
// process's wake-up jitter and a USB transfer. The margin wears it away
// within seconds; from then on a byte starts on the line as it is written.
constexpr std::int64_t kPaceLeadNs = kNominalByteNs;

struct Pacer {
    std::int64_t lineFreeNs = INT64_MIN; // when the bytes written so far are out
};

// How long to wait at nowNs before the next byte may be written; 0 means now.
std::int64_t pacerWaitNs(const Pacer& pacer, std::int64_t nowNs);

// Records a byte handed to the device at nowNs.
void pacerWrote(Pacer& pacer, std::int64_t nowNs);

// The device took bytes it had held back (a stall below the program): they
// go onto the line from nowNs, one after the other, and the reckoning goes on
// from there.
void pacerResume(Pacer& pacer, std::int64_t nowNs, int bytesAhead);

// When the bytes written so far will have left the line, by the pacer's
// reckoning, which is never early on a line within the margin; INT64_MIN
// before the first byte.
std::int64_t pacerLineClearNs(const Pacer& pacer);
