// Keeps one-byte writes in step with the serial line, so that no more than
// about one byte waits ahead of a fresh command anywhere between the program
// and the wire, while the line still never runs dry.
//
// The library gives no view of the device's queue, so the pacer keeps its own
// estimate: when the bytes written so far will have left the line. It paces
// a little slower than the nominal line rate (kPaceMarginPpm), so that a line
// up to that much faster or slower than nominal still cannot build a backlog.
// Pure timing logic; the caller supplies the clock.
#pragma once

#include <cstdint>

// 1200 baud, each byte 11 bit times: start, 8 data, even parity, stop.
constexpr std::int64_t kLineBitsPerByte = 11;
constexpr std::int64_t kLineBaud = 1200;
constexpr std::int64_t kNominalByteNs = kLineBitsPerByte * 1000000000 / kLineBaud;

// Lines and PC clocks are within +-1000 ppm; pacing 1500 ppm slow keeps the
// device queue from growing at either end and still fills 99.75 % of the line.
constexpr std::int64_t kPaceMarginPpm = 1500;
constexpr std::int64_t kPacedByteNs = kNominalByteNs + kNominalByteNs * kPaceMarginPpm / 1000000;

// How far the writes may run ahead of the line: one byte covers the process's
// wake-up jitter, and adds only one byte time to a fresh command's latency.
constexpr std::int64_t kPaceLeadNs = kNominalByteNs;

struct Pacer {
    std::int64_t byteNs = kPacedByteNs;
    std::int64_t leadNs = kPaceLeadNs;
    std::int64_t lineFreeNs = INT64_MIN; // when the bytes written so far are out
};

// How long to wait at nowNs before the next byte may be written; 0 means now.
std::int64_t pacerWaitNs(const Pacer& pacer, std::int64_t nowNs);

// Records a byte handed to the device at nowNs.
void pacerWrote(Pacer& pacer, std::int64_t nowNs);
