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
//
// An unset or empty variable leaves the default. A value that is not valid
// leaves the transmitter unplugged for good, rather than simulating some other
// device than the one asked for, and says why on the standard error, once.
#include "process/command_line.h"
#include "sim/virtual_transmitter.h"

#include <cstdio>
#include <string>
#include <windows.h>

namespace {

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

bool readSettings(VirtualTransmitterSettings& settings, std::string& error) {
    settings.tracePath = environmentValue("RCDRIVE_SIM_TRACE");
    for (const NumericSetting& setting : kNumericSettings) {
        const std::string text = environmentValue(setting.variable);
        if (!text.empty() &&
            !parseWholeNumber(text.c_str(), setting.min, setting.max, settings.*setting.field)) {
            error =
                numberRefused(std::string(setting.variable) + "=" + text, setting.min, setting.max);
            return false;
        }
    }
    return true;
}

void startFromEnvironment() {
    VirtualTransmitterSettings settings;
    std::string error;
    if (readSettings(settings, error) && startVirtualTransmitter(settings, error)) {
        return;
    }
    std::fprintf(stderr, "FTD2XX.dll (virtual transmitter): %s; the transmitter stays unplugged\n",
                 error.c_str());
    std::fflush(stderr);
    // The longest attach delay there is: every open fails as "not found".
    VirtualTransmitterSettings unplugged;
    unplugged.tracePath = settings.tracePath;
    unplugged.attachAfterMs = kMaxDelayMs;
    if (!startVirtualTransmitter(unplugged, error)) {
        unplugged.tracePath.clear();
        startVirtualTransmitter(unplugged, error);
    }
}

} // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
        startFromEnvironment();
    }
    return TRUE;
}
