// rcdrive-monitor: watches the transmitter's line, from a serial device
// wired to it or from an rcdrive-sim trace, and shows the command frames on
// it; or lists the USB serial devices of this machine.
#include "monitor/byte_source.h"
#include "monitor/device_list.h"
#include "monitor/gamepad_list.h"
#include "monitor/line_watch.h"
#include "monitor/live_view.h"
#include "options/command_line.h"
#include "options/info_options.h"
#include "process/clock.h"
#include "process/descriptors.h"
#include "process/signals.h"

#include <cstdio>
#include <cstring>
#include <poll.h>
#include <string>
#include <unistd.h>

namespace {

const char* const kUsage = "usage: rcdrive-monitor [--summary] [--shared] DEVICE | "
                           "[--summary] --trace FILE [--follow] | --list";

const char* const kHelp =
    "usage: rcdrive-monitor [--summary] [--shared] DEVICE\n"
    "       rcdrive-monitor [--summary] --trace FILE [--follow]\n"
    "       rcdrive-monitor --list\n"
    "       rcdrive-monitor --help | --version\n"
    "\n"
    "Shows the command frames on the transmitter's line: the command in force,\n"
    "the last frame, frames per second, bytes skipped and bad checksums.\n"
    "\n"
    "  DEVICE           a serial device wired to the line (1200 baud, 8E1), e.g. /dev/ttyUSB1\n"
    "  --shared         read DEVICE even though another program has it open\n"
    "  --trace FILE     the line of an rcdrive-sim run: a file it wrote with --trace\n"
    "  --follow         keep reading the trace as it grows, until Ctrl+C\n"
    "  --summary        at the end print one line: frames N, invalid M, last XX YY ZZ\n"
    "                   (\"last none\" when no frame came)\n"
    "  --list           list the USB serial devices, the one rcdrive would open, and\n"
    "                   why any of them cannot be used; then the gamepads, likewise\n"
    "  --sysfs-root DIR, --dev-root DIR\n"
    "                   for testing --list: look under DIR instead of /sys and /dev\n"
    "  -h, --help       print this help and exit\n"
    "  --version        print the version and exit\n";

// How long one wait for input lasts: the live view is redrawn in between.
constexpr int kWaitMs = 100;

struct Options {
    bool list = false;
    bool summary = false;
    bool follow = false;
    bool shared = false;
    std::string device;
    std::string trace;
    std::string sysfsRoot = "/sys";
    std::string devRoot = "/dev";
    bool rootsGiven = false;
};

// Fills the options from the command line. Returns what is wrong with it,
// empty if nothing is.
std::string parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool hasValue = i + 1 < argc && !valueMissing(argv[i + 1]);
        if (arg == "--list") {
            options.list = true;
        } else if (arg == "--summary") {
            options.summary = true;
        } else if (arg == "--follow") {
            options.follow = true;
        } else if (arg == "--shared") {
            options.shared = true;
        } else if (arg == "--trace" || arg == "--sysfs-root" || arg == "--dev-root") {
            if (!hasValue) {
                return missingValue(arg, arg == "--trace" ? "a file name" : "a folder");
            }
            const std::string value = argv[++i];
            if (arg == "--trace") {
                if (!options.trace.empty()) {
                    return "--trace: only one trace at a time";
                }
                options.trace = value;
            } else {
                (arg == "--sysfs-root" ? options.sysfsRoot : options.devRoot) = value;
                options.rootsGiven = true;
            }
        } else if (!arg.empty() && arg[0] != '-') {
            if (!options.device.empty()) {
                return arg + ": only one DEVICE at a time";
            }
            options.device = arg;
        } else {
            return unknownArgument(arg);
        }
    }
    const bool watch = !options.device.empty() || !options.trace.empty();
    if (options.list) {
        return watch || options.summary || options.follow || options.shared
                   ? "--list: goes with no DEVICE, --trace, --summary, --follow or --shared"
                   : "";
    }
    if (options.rootsGiven) {
        return "--sysfs-root, --dev-root: only with --list";
    }
    if (!watch) {
        return "nothing to read: give a DEVICE, --trace FILE or --list";
    }
    if (!options.device.empty() && !options.trace.empty()) {
        return options.device + ": a DEVICE or --trace FILE, not both";
    }
    if (options.follow && options.trace.empty()) {
        return "--follow: only with --trace FILE";
    }
    if (options.shared && options.device.empty()) {
        return "--shared: only with a DEVICE";
    }
    return "";
}

// The summary is the result asked for, not a screen that may be dropped: it
// waits for a slow reader. Once the monitor has been asked to end, though, it
// waits a second at most, so that a terminal stopped with Ctrl+S cannot hold
// the monitor for good.
void writeSummary(const std::string& line) {
    const int waitMs = exitRequested() ? 1000 : -1;
    for (std::size_t done = 0; done < line.size();) {
        pollfd output = {STDOUT_FILENO, POLLOUT, 0};
        if (poll(&output, 1, waitMs) <= 0) {
            return;
        }
        const ssize_t count = write(STDOUT_FILENO, line.data() + done, line.size() - done);
        if (count <= 0) {
            return;
        }
        done += static_cast<std::size_t>(count);
    }
}

// The exit status for input that failed: 2 for input that is not what it
// was given as, as for a wrong command line; 1 for input that cannot be read.
int failedInput(const ByteSource& source, const std::string& error) {
    std::fprintf(stderr, "rcdrive-monitor: %s\n", error.c_str());
    return source.wrongKind ? kUsageStatus : 1;
}

// Reads until the input ends or the program is asked to end. Returns the
// exit status.
int watchLine(const Options& options) {
    ByteSource source;
    std::string error;
    std::string warning;
    const bool opened =
        options.trace.empty()
            ? openDeviceSource(options.device, options.shared, source, error, warning)
            : openTraceSource(options.trace, options.follow, source, error);
    if (!opened) {
        return failedInput(source, error);
    }
    if (!warning.empty()) {
        std::fprintf(stderr, "rcdrive-monitor: %s\n", warning.c_str());
    }
    LineWatch watch;
    LiveView view;
    startLiveView(view);
    std::vector<LineByte> bytes;
    ReadResult result = kReadNothing;
    // When input last came, for telling a writer that has gone; -1: none yet.
    std::int64_t inputNs = -1;
    const auto silentNs = [&](std::int64_t now) {
        return isLive(source) && inputNs >= 0 ? now - inputNs : 0;
    };
    while (!exitRequested()) {
        bytes.clear();
        result = readSource(source, kWaitMs, bytes, error);
        if (result == kReadRestart) {
            dropPartialFrame(watch.decoder);
        }
        for (const LineByte& byte : bytes) {
            watchByte(watch, byte);
        }
        if (result == kReadEnd || result == kReadFailed) {
            break;
        }
        const std::int64_t now = monotonicNs();
        if (result == kReadBytes) {
            inputNs = now;
        }
        updateLiveView(view, watch, rateEnd(watch, now, isLive(source)), silentNs(now), now);
    }
    const std::int64_t end = monotonicNs();
    endLiveView(view, watch, rateEnd(watch, end, isLive(source)), silentNs(end));
    closeSource(source);
    if (options.summary) {
        writeSummary(summaryLine(watch) + "\n");
    }
    return result == kReadFailed ? failedInput(source, error) : 0;
}

} // namespace

int main(int argc, char** argv) {
    claimStandardDescriptors();
    const int answered = answerInfoOption(argc, argv, "rcdrive-monitor", RCDRIVE_VERSION, kHelp,
                                          InfoOptionPlace::Anywhere);
    if (answered >= 0) {
        return answered;
    }
    Options options;
    const std::string problem = parseOptions(argc, argv, options);
    if (!problem.empty()) {
        return refuseCommandLine("rcdrive-monitor", problem, kUsage);
    }
    if (options.list) {
        printDeviceList(stdout, options.sysfsRoot, options.devRoot);
        printGamepadList(stdout, options.sysfsRoot, options.devRoot);
        return 0;
    }
    installExitHandlers();
    return watchLine(options);
}
