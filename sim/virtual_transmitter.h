// A virtual transmitter "dimsal": the five D2XX functions with a simulated
// USB serial chip behind them instead of hardware. The chip has a transmit
// buffer that drains onto a simulated line at the configured rate; a write
// waits while the buffer is full, as a real chip's does. Every call and every
// byte can be traced to a file (sim/trace_format.h).
#pragma once

#include <cstdint>
#include <string>

struct VirtualTransmitterSettings {
    std::string tracePath;           // empty: no trace
    std::int64_t attachAfterMs = 0;  // opens fail with FT_DEVICE_NOT_FOUND until then
    std::int64_t unplugAfterMs = -1; // from then on writes fail; -1: never
    std::int64_t replugAfterMs = -1; // from then on it can be opened again; -1: never
    std::int64_t fifoBytes = 128;    // the chip's transmit buffer
    std::int64_t rateErrorPpm = 0;   // the line runs this much slow (negative: fast)
};

// Plausible bounds, so that nonsense is refused rather than simulated.
constexpr std::int64_t kMaxFifoBytes = 1 << 20;
constexpr std::int64_t kMaxRateErrorPpm = 100000;

// Starts the device's clock (attach, unplug and replug times count from here)
// and opens the trace. Returns false, with a reason, if the settings do not
// fit together (a replug with no unplug before it) or the trace cannot be
// opened.
bool startVirtualTransmitter(const VirtualTransmitterSettings& settings, std::string& error);

// Closes the trace, giving the lines not yet read a last short chance.
void stopVirtualTransmitter();

// Reads one number for a setting; false unless the text is a whole integer
// within [min, max].
bool parseSetting(const char* text, std::int64_t min, std::int64_t max, std::int64_t& value);
