// rcdrive-sim: rcdrive with a virtual transmitter "dimsal" in place of the
// USB device, for trying the program, and testing it, without hardware.
#include "drive/drive_loop.h"
#include "link/transmitter_link.h"
#include "options/command_line.h"
#include "options/info_options.h"
#include "process/descriptors.h"
#include "sim/virtual_transmitter.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* const kUsage = "usage: rcdrive-sim [--trace FILE] [--attach-after MS] "
                           "[--unplug-after MS] [--replug-after MS] [--fifo N] "
                           "[--rate-error PPM] [--stall-after MS] [--stall-for MS] [--unpaced]";

const char* const kHelp =
    "usage: rcdrive-sim [--trace FILE] [--attach-after MS] [--unplug-after MS]\n"
    "                   [--replug-after MS] [--fifo N] [--rate-error PPM]\n"
    "                   [--stall-after MS] [--stall-for MS] [--unpaced]\n"
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
    "  --stall-after MS    from MS ms after start the chip takes no data\n"
    "  --stall-for MS      for MS ms (default: for good)\n"
    "  --unpaced           write without pacing, for comparison only\n"
    "  -h, --help          print this help and exit\n"
    "  --version           print the version and exit\n";

const NumericSetting* numericSettingFor(const char* option) {
    for (const NumericSetting& setting : kNumericSettings) {
        if (std::strcmp(option, setting.option) == 0) {
            return &setting;
        }
    }
    return nullptr;
}

// Fills the settings from the command line. Returns what is wrong with it,
// empty if nothing is.
std::string parseOptions(int argc, char** argv, VirtualTransmitterSettings& settings, bool& paced) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        const NumericSetting* number = numericSettingFor(option);
        if (std::strcmp(option, "--unpaced") == 0) {
            paced = false;
        } else if (std::strcmp(option, "--trace") == 0) {
            if (valueMissing(value)) {
                return missingValue(option, "a file name");
            }
            settings.tracePath = value;
            ++i;
        } else if (number != nullptr) {
            if (value == nullptr) {
                return missingValue(option, wholeNumberRange(number->min, number->max));
            }
            if (!parseWholeNumber(value, number->min, number->max, settings.*number->field)) {
                return numberRefused(std::string(option) + " " + value, number->min, number->max);
            }
            ++i;
        } else {
            return unknownArgument(option);
        }
    }
    if (!replugFits(settings)) {
        const std::string replug = "--replug-after " + std::to_string(settings.replugAfterMs);
        return settings.unplugAfterMs < 0 ? replug + ": needs --unplug-after"
                                          : replug + ": must not be before --unplug-after " +
                                                std::to_string(settings.unplugAfterMs);
    }
    if (!stallFits(settings)) {
        return "--stall-for " + std::to_string(settings.stallForMs) + ": needs --stall-after";
    }
    return "";
}

} // namespace

int main(int argc, char** argv) {
    claimStandardDescriptors();
    const int answered = answerInfoOption(argc, argv, "rcdrive-sim", RCDRIVE_VERSION, kHelp,
                                          InfoOptionPlace::Anywhere);
    if (answered >= 0) {
        return answered;
    }
    VirtualTransmitterSettings settings;
    bool paced = true;
    const std::string problem = parseOptions(argc, argv, settings, paced);
    if (!problem.empty()) {
        return refuseCommandLine("rcdrive-sim", problem, kUsage);
    }
    std::string error;
    bool traceBusy = false;
    if (!startVirtualTransmitter(settings, error, &traceBusy)) {
        std::fprintf(stderr, "rcdrive-sim: %s\n", error.c_str());
        // Another run's trace is the wrong file to give, as a wrong option is.
        return traceBusy ? kUsageStatus : 1;
    }
    setPacing(paced);
    const int status = runDrive();
    endVirtualTransmitter();
    return status;
}
