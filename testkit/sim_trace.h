// An rcdrive-sim trace as tests look at it.
#pragma once

#include "trace/trace_format.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// The bytes that reached the line, in order.
std::vector<unsigned> acceptedBytes(const std::vector<TraceRecord>& trace);

// The last whole frame of bytes that begin with a frame's first byte; empty
// if there is none.
std::vector<unsigned> lastFrame(const std::vector<unsigned>& bytes);

// When the first frame (bytes three at a time from the first) that starts at
// or after fromNs with the speed code starts on the line; -1 if none does.
std::int64_t frameWithSpeedNs(const std::vector<TraceRecord>& trace, unsigned speed,
                              std::int64_t fromNs);

// The longest time between the starts of two bytes on the line after fromNs.
std::int64_t longestGapNs(const std::vector<TraceRecord>& trace, std::int64_t fromNs);

// Polls until the trace holds at least `count` accepted bytes; false on timeout.
bool waitForBytes(const std::string& tracePath, std::size_t count, int timeoutMs);
