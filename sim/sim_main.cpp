// rcdrive-sim: rcdrive with a virtual transmitter "dimsal" in place of the
// USB device, for trying the program, and testing it, without hardware.
#include "console/exit_signals.h"
#include "drive/drive_loop.h"
#include "link/transmitter_link.h"
#include "sim/virtual_transmitter.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kUsage = "usage: rcdrive-sim [--trace FILE] [--attach-after MS] "
                           "[--unplug-after MS] [--replug-after MS] [--fifo N] "
                           "[--rate-error PPM] [--unpaced]";

// Fills the settings from the command line; false on anything it does not know.
bool parseOptions(int argc, char** argv, VirtualTransmitterSettings& settings, bool& paced) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--unpaced") == 0) {
            paced = false;
            continue;
        }
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        bool ok = value != nullptr;
        if (ok && std::strcmp(option, "--trace") == 0) {
            settings.tracePath = value;
            ok = *value != '\0';
        } else if (ok && std::strcmp(option, "--attach-after") == 0) {
            ok = parseSetting(value, 0, INT32_MAX, settings.attachAfterMs);
        } else if (ok && std::strcmp(option, "--unplug-after") == 0) {
            ok = parseSetting(value, 0, INT32_MAX, settings.unplugAfterMs);
        } else if (ok && std::strcmp(option, "--replug-after") == 0) {
            ok = parseSetting(value, 0, INT32_MAX, settings.replugAfterMs);
        } else if (ok && std::strcmp(option, "--fifo") == 0) {
            ok = parseSetting(value, 1, kMaxFifoBytes, settings.fifoBytes);
        } else if (ok && std::strcmp(option, "--rate-error") == 0) {
            ok = parseSetting(value, -kMaxRateErrorPpm, kMaxRateErrorPpm, settings.rateErrorPpm);
        } else {
            ok = false;
        }
        if (!ok) {
            return false;
        }
        ++i;
    }
    // Plugged in again only after being unplugged.
    return settings.replugAfterMs < 0 ||
           (settings.unplugAfterMs >= 0 && settings.replugAfterMs >= settings.unplugAfterMs);
}

} // namespace

int main(int argc, char** argv) {
    claimStandardDescriptors();
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("%s\n", kUsage);
        return 0;
    }
    VirtualTransmitterSettings settings;
    bool paced = true;
    if (!parseOptions(argc, argv, settings, paced)) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    std::string error;
    if (!startVirtualTransmitter(settings, error)) {
        std::fprintf(stderr, "rcdrive-sim: %s\n", error.c_str());
        return 1;
    }
    setPacing(paced);
    return runDrive();
}
