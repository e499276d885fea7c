// FTD2XX.dll with the virtual transmitter behind it: put beside rcdrive.exe,
// it lets the real program run without hardware. It exports the five entry
// points by ordinal only, as the vendor's DLL is used (ftd2xx.def).
//
// The settings come from the environment when the DLL is loaded, which
// rcdrive does at its first open attempt; the device's clock starts then.
//
//   RCDRIVE_SIM_TRACE            trace file (rcdrive-sim's --trace)
//   RCDRIVE_SIM_ATTACH_AFTER_MS  as --attach-after
//   RCDRIVE_SIM_UNPLUG_AFTER_MS  as --unplug-after
//   RCDRIVE_SIM_REPLUG_AFTER_MS  as --replug-after
//   RCDRIVE_SIM_FIFO             as --fifo
//   RCDRIVE_SIM_RATE_ERROR_PPM   as --rate-error
//   RCDRIVE_SIM_STALL_AFTER_MS   as --stall-after
//   RCDRIVE_SIM_STALL_FOR_MS     as --stall-for
//
// and, for this DLL alone, a device whose writes go wrong:
//
//   RCDRIVE_SIM_WRITE_FAULT           block, nothing or fail
//   RCDRIVE_SIM_WRITE_FAULT_AFTER_MS  from when, after the load (default 0)
//   RCDRIVE_SIM_WRITE_BLOCK_MS        how long a blocked write blocks
//                                     (default: for good)
//
// block: the first write begun from then on blocks, as a vendor write with
// no time-out set blocks on a device that stops taking data; then it is done
// as usual. One that blocks for good also holds the DLL's clean-up when the
// process ends, as a library that closes its devices then would wait for
// the write holding one. nothing: every write from then on returns FT_OK
// having taken no byte. fail: every write from then on fails at once.
//
// An unset or empty variable leaves the default. A value that is not valid
// leaves the transmitter unplugged for good, rather than simulating some other
// device than the one asked for, and says why on the standard error, once.
#include "link/d2xx.h"
#include "options/command_line.h"
#include "process/clock.h"
#include "sim/virtual_transmitter.h"

#include <cstdio>
#include <string>
#include <windows.h>

namespace {

enum class WriteFault { None, Block, Nothing, Fail };

struct FaultSettings {
    WriteFault fault = WriteFault::None;
    std::int64_t afterMs = 0;
    std::int64_t blockMs = -1; // -1: for good
};

struct Faults {
    FaultSettings settings;
    std::int64_t loadedNs = 0;
    bool blocked = false;           // the one blocked write has begun
    HANDLE writeReturned = nullptr; // set unless a write blocks
};

Faults faults;

// The value of an environment variable; empty if it is unset.
std::string environmentValue(const char* name) {
    std::string value(256, '\0');
    DWORD length = GetEnvironmentVariableA(name, &value[0], static_cast<DWORD>(value.size()));
    if (length >= value.size()) {
        value.resize(length);
        length = GetEnvironmentVariableA(name, &value[0], static_cast<DWORD>(value.size()));
    }
    value.resize(length < value.size() ? length : 0);
    return value;
}

// Reads a whole number within [min, max] from the variable, if it is set.
bool readNumber(const char* variable, std::int64_t min, std::int64_t max, std::int64_t& value,
                std::string& error) {
    const std::string text = environmentValue(variable);
    if (!text.empty() && !parseWholeNumber(text.c_str(), min, max, value)) {
        error = numberRefused(std::string(variable) + "=" + text, min, max);
        return false;
    }
    return true;
}

bool readFaultSettings(FaultSettings& settings, std::string& error) {
    const std::string fault = environmentValue("RCDRIVE_SIM_WRITE_FAULT");
    if (fault == "block") {
        settings.fault = WriteFault::Block;
    } else if (fault == "nothing") {
        settings.fault = WriteFault::Nothing;
    } else if (fault == "fail") {
        settings.fault = WriteFault::Fail;
    } else if (!fault.empty()) {
        error = "RCDRIVE_SIM_WRITE_FAULT=\"" + fault + "\" is not block, nothing or fail";
        return false;
    }
    return readNumber("RCDRIVE_SIM_WRITE_FAULT_AFTER_MS", 0, kMaxDelayMs, settings.afterMs,
                      error) &&
           readNumber("RCDRIVE_SIM_WRITE_BLOCK_MS", 1, kMaxDelayMs, settings.blockMs, error);
}

bool readSettings(VirtualTransmitterSettings& settings, std::string& error) {
    settings.tracePath = environmentValue("RCDRIVE_SIM_TRACE");
    for (const NumericSetting& setting : kNumericSettings) {
        if (!readNumber(setting.variable, setting.min, setting.max, settings.*setting.field,
                        error)) {
            return false;
        }
    }
    return readFaultSettings(faults.settings, error);
}

void startFromEnvironment() {
    faults.loadedNs = monotonicNs();
    faults.writeReturned = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    VirtualTransmitterSettings settings;
    std::string error;
    if (readSettings(settings, error) && startVirtualTransmitter(settings, error)) {
        return;
    }
    std::fprintf(stderr, "FTD2XX.dll (virtual transmitter): %s; the transmitter stays unplugged\n",
                 error.c_str());
    std::fflush(stderr);
    // The longest attach delay there is: every open fails as "not found".
    faults.settings = FaultSettings();
    VirtualTransmitterSettings unplugged;
    unplugged.tracePath = settings.tracePath;
    unplugged.attachAfterMs = kMaxDelayMs;
    if (!startVirtualTransmitter(unplugged, error)) {
        unplugged.tracePath.clear();
        startVirtualTransmitter(unplugged, error);
    }
}

bool faultBegun() {
    return faults.settings.fault != WriteFault::None &&
           monotonicNs() - faults.loadedNs >= faults.settings.afterMs * kNsPerMs;
}

} // namespace

// FT_Write at its ordinal: the virtual transmitter's, with the fault asked for.
extern "C" FT_STATUS FT_API StandInWrite(FT_HANDLE handle, void* buffer, std::uint32_t toWrite,
                                         std::uint32_t* written) {
    if (faultBegun() && faults.settings.fault != WriteFault::Block) {
        if (written != nullptr) {
            *written = 0;
        }
        return faults.settings.fault == WriteFault::Nothing ? FT_OK : FT_IO_ERROR;
    }
    if (faultBegun() && !faults.blocked) {
        faults.blocked = true;
        ResetEvent(faults.writeReturned);
        Sleep(faults.settings.blockMs < 0 ? INFINITE : static_cast<DWORD>(faults.settings.blockMs));
        SetEvent(faults.writeReturned);
    }
    return FT_Write(handle, buffer, toWrite, written);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        startFromEnvironment();
    } else if (reason == DLL_PROCESS_DETACH && faults.writeReturned != nullptr) {
        WaitForSingleObject(faults.writeReturned, INFINITE);
    }
    return TRUE;
}
