// A virtual transmitter "dimsal": the five D2XX functions with a simulated
// USB serial chip behind them instead of hardware. The chip has a transmit
// buffer that drains onto a simulated line at the configured rate; a write
// waits while the buffer is full, as a real chip's does. The chip can stall,
// taking nothing over USB for a while: bytes written meanwhile wait in the
// driver, and go onto the line once it takes them again. Every call and every
// byte can be traced to a file (trace/trace_format.h).
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
    std::int64_t stallAfterMs = -1;  // from then on the chip takes nothing; -1: never
    std::int64_t stallForMs = -1;    // for this long; -1: for good
};

// The numeric settings and their bounds, under the names rcdrive-sim's
// options and the stand-in FTD2XX.dll's environment variables give them. The
// bounds are plausible ones, so that nonsense is refused rather than simulated.
struct NumericSetting {
    const char* option;   // "--fifo"
    const char* variable; // "RCDRIVE_SIM_FIFO"
    std::int64_t min;
    std::int64_t max;
    std::int64_t VirtualTransmitterSettings::*field;
};

constexpr std::int64_t kMaxDelayMs = INT32_MAX;
constexpr std::int64_t kMaxFifoBytes = 1 << 20;
constexpr std::int64_t kMaxRateErrorPpm = 100000;

inline constexpr NumericSetting kNumericSettings[] = {
    {"--attach-after", "RCDRIVE_SIM_ATTACH_AFTER_MS", 0, kMaxDelayMs,
     &VirtualTransmitterSettings::attachAfterMs},
    {"--unplug-after", "RCDRIVE_SIM_UNPLUG_AFTER_MS", 0, kMaxDelayMs,
     &VirtualTransmitterSettings::unplugAfterMs},
    {"--replug-after", "RCDRIVE_SIM_REPLUG_AFTER_MS", 0, kMaxDelayMs,
     &VirtualTransmitterSettings::replugAfterMs},
    {"--fifo", "RCDRIVE_SIM_FIFO", 1, kMaxFifoBytes, &VirtualTransmitterSettings::fifoBytes},
    {"--rate-error", "RCDRIVE_SIM_RATE_ERROR_PPM", -kMaxRateErrorPpm, kMaxRateErrorPpm,
     &VirtualTransmitterSettings::rateErrorPpm},
    {"--stall-after", "RCDRIVE_SIM_STALL_AFTER_MS", 0, kMaxDelayMs,
     &VirtualTransmitterSettings::stallAfterMs},
    {"--stall-for", "RCDRIVE_SIM_STALL_FOR_MS", 0, kMaxDelayMs,
     &VirtualTransmitterSettings::stallForMs},
};

// A replug needs an unplug at or before it: the transmitter can come back
// only after it was gone.
bool replugFits(const VirtualTransmitterSettings& settings);

// A stall's length needs the time it begins.
bool stallFits(const VirtualTransmitterSettings& settings);

// Starts the device's clock (attach, unplug, replug and stall times count
// from here) and opens the trace. Returns false, with a reason, if the
// settings do not fit together (a replug with no unplug before it, a stall's
// length with no start) or the trace cannot be opened; *traceBusy, when
// given, then says whether another run is writing the trace.
bool startVirtualTransmitter(const VirtualTransmitterSettings& settings, std::string& error,
                             bool* traceBusy = nullptr);

// Closes the trace, giving the lines not yet read a last short chance.
void endVirtualTransmitter();
