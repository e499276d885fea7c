// An rcdrive-sim trace as tests look at it.
#pragma once

#include "sim/trace_format.h"

#include <cstddef>
#include <string>
#include <vector>

// The bytes that reached the line, in order.
std::vector<unsigned> acceptedBytes(const std::vector<TraceRecord>& trace);

// The last whole frame of bytes that begin with a frame's first byte; empty
// if there is none.
std::vector<unsigned> lastFrame(const std::vector<unsigned>& bytes);

// Polls until the trace holds at least `count` accepted bytes; false on timeout.
bool waitForBytes(const std::string& tracePath, std::size_t count, int timeoutMs);
