// rcdrive-sim: rcdrive with a virtual transmitter "dimsal" in place of the
// USB device, for trying the program, and testing it, without hardware.
#include "drive/drive_loop.h"
#include "link/transmitter_link.h"
#include "process/info_options.h"
#include "process/signals.h"
#include "sim/virtual_transmitter.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kUsage = "usage: rcdrive-sim [--trace FILE] [--attach-after MS] "
                           "[--unplug-after MS] [--replug-after MS] [--fifo N] "
                           "[--rate-error PPM] [--unpaced]";

const char* const kHelp =
    "usage: rcdrive-sim [--trace FILE] [--attach-after MS] [--unplug-after MS]\n"
    "                   [--replug-after MS] [--fifo N] [--rate-error PPM] [--unpaced]\n"
    "       rcdrive-sim --help | --version\n"
    "\n"
    "rcdrive with a virtual transmitter \"dimsal\" in place of the USB device.\n"
    "Up/Down step the speed, Right/Left the steering, Esc rests, q quits,\n"
    "Q or PgDn print STOP and quit.\n"
    "\n"
    "  --trace FILE        write one line per driver call and per byte to FILE\n"
    "  --attach-after MS   the transmitter is plugged in MS ms after start\n"
    "  --unplug-after MS   from MS ms after start every write fails\n"
    "  --replug-after MS   from MS ms after start it can be opened again\n"
    "  --fifo N            the chip's transmit buffer in bytes (default 128)\n"
    "  --rate-error PPM    the line runs PPM parts per million slow (negative: fast)\n"
    "  --unpaced           write without pacing, for comparison only\n"
    "  -h, --help          print this help and exit\n"
    "  --version           print the version and exit\n";

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
    const int answered = answerInfoOption(argc, argv, "rcdrive-sim", RCDRIVE_VERSION, kHelp);
    if (answered >= 0) {
        return answered;
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
    const int status = runDrive();
    stopVirtualTransmitter();
    return status;
}
