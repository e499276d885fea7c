// rcdrive-bench: how long an arrow key takes from the terminal to the wire,
// how busy the line stays, and how much CPU rcdrive uses meanwhile, measured
// on rcdrive-sim on this machine, with the writes paced and unpaced.
//
//   rcdrive-bench [--presses N] [--rate-errors] [--smoke] [--seed S]
//                 [--fifo N] [--sim PATH] [--per-press FILE]
//
// Exit status 0 when every run gave numbers, 1 when one did not, 2 for a
// wrong option.
#include "bench/key_run.h"
#include "bench/line_trace.h"
#include "options/command_line.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace {

const char* const kUsage = "usage: rcdrive-bench [--presses N] [--rate-errors] [--smoke] "
                           "[--seed S] [--fifo N] [--sim PATH] "
                           "[--per-press FILE]";

constexpr int kDefaultPresses = 300;
constexpr int kSmokePresses = 15;
constexpr std::int64_t kRateErrorPpm = 1000;
// A chip whose clock is as slow as a USB full-speed device may be: does a
// backlog build up over the run?
constexpr std::int64_t kSlowChipPpm = 2500;
// How long the start and the end of a run are, for comparing the two.
constexpr std::int64_t kRunEdgeNs = 15000000000;

struct Options {
    int presses = 0; // 0: the default for the kind of run
    bool rateErrors = false;
    bool smoke = false;
    std::uint32_t seed = 1;
    std::int64_t fifoBytes = 128;
    std::string simPath = RCDRIVE_SIM_PATH;
    std::string perPressPath; // empty: none
};

bool parseOptions(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        const char* option = argv[i];
        if (std::strcmp(option, "--rate-errors") == 0) {
            options.rateErrors = true;
            continue;
        }
        if (std::strcmp(option, "--smoke") == 0) {
            options.smoke = true;
            continue;
        }
        const char* value = i + 1 < argc ? argv[++i] : nullptr;
        std::int64_t number = 0;
        if (std::strcmp(option, "--presses") == 0 && parseWholeNumber(value, 1, 100000, number)) {
            options.presses = static_cast<int>(number);
        } else if (std::strcmp(option, "--seed") == 0 &&
                   parseWholeNumber(value, 0, UINT32_MAX, number)) {
            options.seed = static_cast<std::uint32_t>(number);
        } else if (std::strcmp(option, "--fifo") == 0 &&
                   parseWholeNumber(value, 1, 1 << 20, number)) {
            options.fifoBytes = number;
        } else if (std::strcmp(option, "--sim") == 0 && value != nullptr && *value != '\0') {
            options.simPath = value;
        } else if (std::strcmp(option, "--per-press") == 0 && value != nullptr && *value != '\0') {
            options.perPressPath = value;
        } else {
            return false;
        }
    }
    return true;
}

// What machine this is and when, so that nobody takes the figures for
// another machine's.
void printMachine() {
    char host[256] = "?";
    gethostname(host, sizeof host - 1);
    std::string model = "?";
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) == 0 && line.find(':') != std::string::npos) {
            model = line.substr(line.find(':') + 2);
            break;
        }
    }
    utsname system{};
    uname(&system);
    char date[64] = "?";
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (gmtime_r(&now, &utc) != nullptr) {
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M UTC", &utc);
    }
    std::printf("rcdrive-bench: measured now on this machine: %s, %ld cores (%s), %s %s, %s\n",
                host, sysconf(_SC_NPROCESSORS_ONLN), model.c_str(), system.sysname, system.release,
                date);
}

double ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void printRow(const KeyRunSettings& settings, const KeyRunResult& result) {
    std::printf("%-8s %6lld %+7lld ppm %7d", settings.paced ? "paced" : "unpaced",
                static_cast<long long>(settings.fifoBytes),
                static_cast<long long>(settings.rateErrorPpm), settings.presses);
    if (!result.ok) {
        std::printf("  FAILED: %s\n", result.error.c_str());
        std::fflush(stdout);
        return;
    }
    std::int64_t maxNs = 0;
    for (std::int64_t latency : result.latencyNs) {
        maxNs = std::max(maxNs, latency);
    }
    std::printf(" %8.1f %8.1f %8.1f %10.2f %9.2f %9.2f %7.2f", ms(percentile(result.latencyNs, 50)),
                ms(percentile(result.latencyNs, 99)), ms(maxNs), 100.0 * result.line.busyFraction,
                result.line.framesPerSecond, result.line.lineFramesPerSecond,
                100.0 * result.cpuFraction);
    if (result.cpuWaitFraction >= 0) {
        std::printf(" %9.2f\n", 100.0 * result.cpuWaitFraction);
    } else {
        std::printf(" %9s\n", "-");
    }
    std::fflush(stdout);
}

// The latency of the keys in the first and in the last kRunEdgeNs of a run:
// a line that builds a backlog shows a later end than start.
// A run too short for two such spans has no start and end to compare.
bool spansStartAndEnd(const KeyRunResult& result) {
    return result.ok && !result.pressAtNs.empty() && result.pressAtNs.back() >= 2 * kRunEdgeNs;
}

void printDrift(const KeyRunSettings& settings, const KeyRunResult& result) {
    if (!spansStartAndEnd(result)) {
        return;
    }
    const std::int64_t end = result.pressAtNs.back();
    std::vector<std::int64_t> first;
    std::vector<std::int64_t> last;
    for (std::size_t i = 0; i < result.latencyNs.size() && i < result.pressAtNs.size(); ++i) {
        if (result.pressAtNs[i] < kRunEdgeNs) {
            first.push_back(result.latencyNs[i]);
        }
        if (result.pressAtNs[i] > end - kRunEdgeNs) {
            last.push_back(result.latencyNs[i]);
        }
    }
    std::printf("%-8s %+7lld ppm: first %.0f s p50 %.1f ms max %.1f ms, last %.0f s p50 %.1f ms "
                "max %.1f ms (of %.0f s)\n",
                settings.paced ? "paced" : "unpaced", static_cast<long long>(settings.rateErrorPpm),
                kRunEdgeNs / 1e9, ms(percentile(first, 50)), ms(percentile(first, 100)),
                kRunEdgeNs / 1e9, ms(percentile(last, 50)), ms(percentile(last, 100)),
                static_cast<double>(end) / 1e9);
}

// One line per press: which run, when the key came after driving began, and
// its latency, for looking at more than the summary.
void writePerPress(std::FILE* file, const KeyRunSettings& settings, const KeyRunResult& result) {
    for (std::size_t i = 0; i < result.latencyNs.size() && i < result.pressAtNs.size(); ++i) {
        std::fprintf(file, "%s %lld %zu %.3f %.3f\n", settings.paced ? "paced" : "unpaced",
                     static_cast<long long>(settings.rateErrorPpm), i + 1,
                     static_cast<double>(result.pressAtNs[i]) / 1e9, ms(result.latencyNs[i]));
    }
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::printf("%s\n", kUsage);
        return 0;
    }
    if (!parseOptions(argc, argv, options)) {
        std::fprintf(stderr, "%s\n", kUsage);
        return 2;
    }
    if (options.presses == 0) {
        options.presses = options.smoke ? kSmokePresses : kDefaultPresses;
    }

    KeyRunSettings base;
    base.simPath = options.simPath;
    base.fifoBytes = options.fifoBytes;
    base.presses = options.presses;
    base.seed = options.seed;
    std::vector<KeyRunSettings> runs;
    for (bool paced : {true, false}) {
        KeyRunSettings run = base;
        run.paced = paced;
        runs.push_back(run);
    }
    if (options.rateErrors) {
        for (std::int64_t ppm : {kRateErrorPpm, -kRateErrorPpm, kSlowChipPpm}) {
            KeyRunSettings run = base;
            run.rateErrorPpm = ppm;
            runs.push_back(run);
        }
    }

    std::FILE* perPress = nullptr;
    if (!options.perPressPath.empty()) {
        perPress = std::fopen(options.perPressPath.c_str(), "w");
        if (perPress == nullptr) {
            std::fprintf(stderr, "rcdrive-bench: cannot write %s: %s\n",
                         options.perPressPath.c_str(), std::strerror(errno));
            return 2;
        }
        std::fprintf(perPress, "# mode rate_error_ppm press seconds_after_start latency_ms\n");
    }

    printMachine();
    std::printf("%s; Up and Down alternately, each %d-%d ms after the previous key's frame, "
                "seed %u\n",
                options.simPath.c_str(), base.minGapMs, base.maxGapMs, options.seed);
    std::printf("latency: key bytes into the terminal to the start of the first frame with the "
                "new speed code on the simulated line\n\n");
    std::printf("%-8s %6s %11s %7s %8s %8s %8s %10s %9s %9s %7s %9s\n", "mode", "buffer",
                "rate error", "presses", "p50 ms", "p99 ms", "max ms", "line busy%", "frames/s",
                "line f/s", "CPU %", "CPU wait%");
    std::fflush(stdout);

    int failed = 0;
    std::vector<std::pair<KeyRunSettings, KeyRunResult>> results;
    for (const KeyRunSettings& run : runs) {
        const KeyRunResult result = runKeyPresses(run);
        printRow(run, result);
        if (perPress != nullptr) {
            writePerPress(perPress, run, result);
        }
        failed += result.ok ? 0 : 1;
        results.emplace_back(run, result);
    }
    if (std::any_of(results.begin(), results.end(),
                    [](const auto& entry) { return spansStartAndEnd(entry.second); })) {
        std::printf("\nstart and end of each run: keys in its first and last %.0f s\n",
                    kRunEdgeNs / 1e9);
    }
    for (const auto& [run, result] : results) {
        printDrift(run, result);
    }
    std::printf("\nline busy%%: bytes x byte time / (end of the last byte - start of the first) "
                "while driving\nline f/s: what the line carries at that rate error\n"
                "CPU %%: rcdrive-sim's time on a CPU / wall time while driving, %% of one core\n"
                "CPU wait%%: time rcdrive-sim was ready to run but had no CPU / wall time "
                "(how busy the machine was)\n");
    if (perPress != nullptr && std::fclose(perPress) != 0) {
        std::fprintf(stderr, "rcdrive-bench: cannot write %s\n", options.perPressPath.c_str());
        failed += 1;
    }
    return failed == 0 ? 0 : 1;
}
