// kernel-checks: reads the log of one scenario (the emulated chips' control
// requests and wire bytes, the operators' keys and exits) and runs the checks
// named on the command line, one "PASS: ..." or "FAIL: ..." line a verdict.
//
//   kernel-checks LOG CHECK...
//
//   frames:CHIP[:SS:TT]  the bytes of each plug-in are whole frames with
//                    right checksums, one of them speed code SS, steering code
//                    TT; every byte went out at 1200 baud (divisor 0x09C4,
//                    index 0), 8E1 (0x0208), no flow control
//   rest:CHIP:N      N plug-ins carried frames, each starting with the rest
//                    frame; the last one ends with it, then DTR and RTS drop
//   untouched:CHIP   never opened: no reset, line setting, modem line or byte
//   quit:OP          OP saw every text it waited for, and ended with status 0
//                    within a second of its last q
//   pace:CHIP:OP     OP's presses: line use >= 97 %, key-to-wire latency, output queue
//   padcpu:OP        OP's two samples, without a pad and with an idle one: the pad
//                    adds no wake-ups (times on a CPU); CPU at most 1 % of a core
//                    or half again what it is without a pad
//   pad:CHIP:OP      each of OP's gamepad reports on the wire as the codes it expects
//                    within the latency limit, or no change where it expects none
//   stall:CHIP:OP    OP's presses on the wire within the latency limit of the key,
//                    or of the end of the chip's stall it came in
#include "bench/line_trace.h"
#include "process/clock.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

// A press shows on the wire within a frame and two bytes, plus the USB
// transfers: about 46 ms.
constexpr std::int64_t kLatencyLimitNs = 60 * kNsPerMs;
constexpr std::int64_t kQuitLimitNs = 1000 * kNsPerMs;
// An idle gamepad reports nothing, and nothing polls it: the program wakes as
// often with one as without. Its CPU time stays within a point of a core, or
// (in an emulated guest, where all of it costs several times more) within
// half again what it is without a pad; it varies by some tenths between runs.
constexpr double kIdlePadRunsShare = 1.05;
constexpr double kIdlePadCpuShare = 1.5;
constexpr double kIdlePadCpuPercent = 1.0;

struct PlugIn {
    std::vector<LineByte> wire;
    std::size_t wrongLine = 0;     // bytes sent at another setting
    std::int64_t linesDropNs = -1; // DTR and RTS dropped after the last byte
    bool unplugged = false;
    std::size_t opens = 0; // resets, line settings and modem line changes
};

struct Chip {
    std::vector<PlugIn> plugIns;
    std::vector<std::pair<std::int64_t, std::int64_t>> stalls; // from, until
    unsigned baud = 0, baudIndex = 0, data = 0, flow = 0;
};

struct Operator {
    std::vector<std::pair<std::int64_t, std::string>> keys; // time, keys as typed (\e: Esc)
    std::vector<std::pair<std::int64_t, std::string>> pad;  // time, what the report expects
    std::vector<std::pair<double, double>> cpu;             // % of a core, times on a CPU a second
    std::int64_t exitNs = -1;
    int status = -1, missed = 0, mostQueued = -1, padFailures = 0;
    long queueSamples = 0;
};

std::map<std::string, Chip> chips;
std::map<std::string, Operator> operators;
int failures = 0;

__attribute__((format(printf, 2, 3))) void report(bool ok, const char* format, ...) {
    std::printf("%s: ", ok ? "PASS" : "FAIL");
    va_list args;
    va_start(args, format);
    std::vprintf(format, args);
    va_end(args);
    std::printf("\n");
    failures += ok ? 0 : 1;
}

double ms(std::int64_t ns) {
    return static_cast<double>(ns) / 1e6;
}

void operatorEvent(Operator& op, std::int64_t t, const std::string& what,
                   std::istringstream& words) {
    if (what == "key") {
        op.keys.emplace_back(t, "");
        words >> op.keys.back().second;
    } else if (what == "exit") {
        op.exitNs = t;
        words >> op.status;
    } else if (what == "missed") {
        ++op.missed;
    } else if (what == "outq") {
        words >> op.mostQueued >> op.queueSamples;
    } else if (what == "cpu") {
        double percent = -1, runs = -1;
        words >> percent >> runs;
        op.cpu.emplace_back(percent, runs);
    } else if (what == "pad") {
        std::string report;
        words >> report;
        const std::size_t expect = report.find('=');
        op.padFailures += report == "failed";
        if (expect != std::string::npos) {
            op.pad.emplace_back(t, report.substr(expect + 1));
        }
    }
}

void chipEvent(Chip& chip, std::int64_t t, const std::string& what, std::istringstream& words) {
    if (what == "plug") {
        chip.plugIns.emplace_back();
        chip.baud = 0x4138, chip.baudIndex = 0, chip.data = 0x0008, chip.flow = 0; // power-on
        return;
    }
    if (chip.plugIns.empty()) {
        return;
    }
    PlugIn& p = chip.plugIns.back();
    unsigned type = 0, request = 0, value = 0, index = 0;
    long long stallMs = 0;
    if (what == "unplug" || what == "gone") {
        p.unplugged = true;
    } else if (what == "stall" && words >> stallMs) {
        chip.stalls.emplace_back(t, t + stallMs * kNsPerMs);
    } else if (what == "ctrl" && words >> std::hex >> type >> request >> value >> index &&
               type == 0x40) {
        p.opens += request == 0 || request == 1 || request == 3 || request == 4;
        if (request == 3) {
            chip.baud = value, chip.baudIndex = index;
        } else if (request == 4) {
            chip.data = value;
        } else if (request == 2) {
            chip.flow = index >> 8;
        } else if (request == 1 && (value & 0x0303) == 0x0300) {
            p.linesDropNs = t;
        }
    } else if (what == "wire" && words >> std::hex >> value) {
        p.wire.push_back(LineByte{t, static_cast<std::uint8_t>(value)});
        p.wrongLine +=
            chip.baud != 0x09C4 || chip.baudIndex != 0 || chip.data != 0x0208 || chip.flow != 0;
        p.linesDropNs = -1;
    }
}

void readLog(const char* path) {
    const std::string operatorEvents = " start key text missed exit hung outq pad cpu ";
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        long long t = 0;
        std::string who, what;
        words >> t >> who >> what;
        if (operatorEvents.find(" " + what + " ") != std::string::npos) {
            operatorEvent(operators[who], t, what, words);
        } else {
            chipEvent(chips[who], t, what, words);
        }
    }
}

// The frames of a plug-in, three bytes at a time from its first.
std::vector<Frame> framesOf(const PlugIn& p) {
    std::vector<Frame> frames;
    for (std::size_t i = 0; i + 3 <= p.wire.size(); i += 3) {
        frames.push_back(
            Frame{p.wire[i].t, p.wire[i].value, p.wire[i + 1].value, p.wire[i + 2].value});
    }
    return frames;
}

bool isRest(const Frame& f) {
    return f.speed == kRestSpeedCode && f.steer == kRestSteerCode && f.checksum == 0xC0;
}

using Args = std::vector<std::string>;

void checkFrames(const Args& a) {
    const bool wanted = a.size() == 4;
    const unsigned speed = wanted ? std::strtoul(a[2].c_str(), nullptr, 16) : 0;
    const unsigned steer = wanted ? std::strtoul(a[3].c_str(), nullptr, 16) : 0;
    std::size_t frames = 0, bad = 0, cut = 0, found = 0, bytes = 0, wrongLine = 0;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        bytes += p.wire.size();
        wrongLine += p.wrongLine;
        for (const Frame& f : framesOf(p)) {
            ++frames;
            bad += !(isSpeedCode(f.speed) && isSteerCode(f.steer) &&
                     f.checksum == ((f.speed + f.steer) & 0xFF));
            found += f.speed == speed && f.steer == steer;
        }
        // Pulled out, the chip may have been cut off in the middle of a frame.
        cut += !p.unplugged && p.wire.size() % 3 != 0;
    }
    const std::string carry =
        wanted ? ", " + std::to_string(found) + " of them " + a[2] + " " + a[3] : "";
    report(bytes > 0 && wrongLine == 0, "%s: %zu bytes at 1200 8E1, no flow control; %zu otherwise",
           a[1].c_str(), bytes, wrongLine);
    report(frames > 0 && bad == 0 && cut == 0 && (!wanted || found > 0),
           "%s: %zu frames, %zu with a wrong code or checksum, %zu closes in mid-frame%s",
           a[1].c_str(), frames, bad, cut, carry.c_str());
}

void checkRest(const Args& a) {
    const std::vector<PlugIn>& plugIns = chips[a[1]].plugIns;
    std::size_t first = 0, opened = 0;
    for (const PlugIn& p : plugIns) {
        const std::vector<Frame> frames = framesOf(p);
        opened += !frames.empty();
        first += !frames.empty() && isRest(frames.front());
    }
    const std::vector<Frame> last =
        plugIns.empty() ? std::vector<Frame>{} : framesOf(plugIns.back());
    report(opened == std::strtoul(a[2].c_str(), nullptr, 10) && first == opened,
           "%s: %zu of %zu opens begin with the rest frame, %s expected", a[1].c_str(), first,
           opened, a[2].c_str());
    report(!last.empty() && isRest(last.back()) && plugIns.back().wire.size() % 3 == 0,
           "%s: the rest frame last on the wire", a[1].c_str());
    report(!plugIns.empty() && plugIns.back().linesDropNs >= 0, "%s: DTR and RTS drop after it",
           a[1].c_str());
}

void checkUntouched(const Args& a) {
    std::size_t touched = 0;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        touched += p.wire.size() + p.opens;
    }
    report(!chips[a[1]].plugIns.empty() && touched == 0, "%s: never opened", a[1].c_str());
}

void checkQuit(const Args& a) {
    const Operator& op = operators[a[1]];
    std::int64_t quitNs = -1;
    for (const auto& key : op.keys) {
        quitNs = key.second.find('q') != std::string::npos ? key.first : quitNs;
    }
    const std::int64_t took = op.exitNs - quitNs;
    report(op.missed == 0 && quitNs >= 0 && op.exitNs >= quitNs && op.status == 0 &&
               took <= kQuitLimitNs,
           "%s: %d awaited texts missed; exit %d %.1f ms after q, limit %.0f ms", a[1].c_str(),
           op.missed, op.status, ms(took), ms(kQuitLimitNs));
}

// Presses of Up, Down and Esc from rest: the speed code each should bring.
std::vector<KeyPress> presses(const Operator& op) {
    std::vector<KeyPress> out;
    int level = 0;
    for (const auto& key : op.keys) {
        const int step = key.second == "\\e[A" ? 1 : key.second == "\\e[B" ? -1 : 0;
        if (step != 0 || key.second == "\\e") {
            level = step == 0 ? 0 : level + step;
            out.push_back(KeyPress{key.first, static_cast<unsigned>(speedCodeFor(level))});
        }
    }
    return out;
}

void checkPace(const Args& a) {
    const std::vector<PlugIn>& plugIns = chips[a[1]].plugIns;
    const Operator& op = operators[a[2]];
    const std::vector<KeyPress> keys = presses(op);
    if (plugIns.empty() || keys.size() < 2) {
        report(false, "%s: no presses or no bytes to measure", a[1].c_str());
        return;
    }
    std::vector<std::int64_t> latencies = pressLatenciesNs(framesOf(plugIns.back()), keys);
    const long unanswered =
        std::count_if(latencies.begin(), latencies.end(), [](std::int64_t l) { return l < 0; });
    LineTrace trace;
    trace.baud = kLineBaud;
    trace.bitsPerByte = kLineBitsPerByte;
    trace.configured = true;
    trace.bytes = plugIns.back().wire;
    const LineUse use = lineUse(trace, keys.front().keyNs, keys.back().keyNs, 0);
    report(use.busyFraction >= 0.97, "%s: line %.1f %% busy over %zu bytes while driving",
           a[1].c_str(), use.busyFraction * 100, use.bytes);
    report(unanswered == 0 && percentile(latencies, 99) <= kLatencyLimitNs,
           "%s: key-to-wire latency p50 %.1f ms, p99 %.1f ms over %zu presses (%ld unanswered), "
           "limit %.1f ms",
           a[1].c_str(), ms(percentile(latencies, 50)), ms(percentile(latencies, 99)), keys.size(),
           unanswered, ms(kLatencyLimitNs));
    report(op.queueSamples > 0 && op.mostQueued <= 3,
           "%s: at most %d bytes queued in the driver (%ld samples)", a[2].c_str(), op.mostQueued,
           op.queueSamples);
}

// A key can reach the wire only once the chip takes data again: its latency
// counts from the end of the stall it came in, if it did.
void checkStall(const Args& a) {
    const Chip& chip = chips[a[1]];
    std::vector<KeyPress> keys = presses(operators[a[2]]);
    std::size_t inStalls = 0;
    for (KeyPress& key : keys) {
        for (const auto& [from, until] : chip.stalls) {
            inStalls += key.keyNs >= from && key.keyNs < until;
            key.keyNs = key.keyNs >= from && key.keyNs < until ? until : key.keyNs;
        }
    }
    const std::vector<std::int64_t> latencies =
        chip.plugIns.empty() ? std::vector<std::int64_t>{}
                             : pressLatenciesNs(framesOf(chip.plugIns.back()), keys);
    const long unanswered = std::count(latencies.begin(), latencies.end(), -1);
    const std::int64_t worst = latencies.empty() ? -1 : percentile(latencies, 100);
    report(inStalls > 0 && unanswered == 0 && worst <= kLatencyLimitNs,
           "%s: %zu keys, %zu of them in stalls, on the wire at most %.1f ms after the key or the "
           "stall's end (%ld unanswered), limit %.1f ms",
           a[1].c_str(), keys.size(), inStalls, ms(worst), unanswered, ms(kLatencyLimitNs));
}

unsigned codesOf(const Frame& f) {
    return static_cast<unsigned>(f.speed) << 8 | f.steer;
}

// Each report answered by the first frame begun after it: the codes it
// expects, within the latency limit; or, where it expects no change, the
// codes of before until the next report.
void checkPad(const Args& a) {
    const Operator& op = operators[a[2]];
    const std::vector<Frame> frames =
        chips[a[1]].plugIns.empty() ? std::vector<Frame>{} : framesOf(chips[a[1]].plugIns.back());
    std::size_t changes = 0, unchanged = 0, wrong = 0;
    std::int64_t worst = 0;
    for (std::size_t i = 0; i < op.pad.size(); ++i) {
        const auto& [t, expect] = op.pad[i];
        const std::int64_t next = i + 1 < op.pad.size() ? op.pad[i + 1].first : INT64_MAX;
        auto at =
            std::find_if(frames.begin(), frames.end(), [&](const Frame& f) { return f.t >= t; });
        if (expect == "same") {
            const bool before = at != frames.begin() && at != frames.end();
            const unsigned codes = before ? codesOf(*(at - 1)) : 0;
            for (; at != frames.end() && at->t < next; ++at) {
                wrong += codesOf(*at) != codes;
            }
            wrong += !before;
            ++unchanged;
            continue;
        }
        const unsigned codes = std::strtoul(expect.c_str(), nullptr, 16);
        at = std::find_if(at, frames.end(),
                          [&](const Frame& f) { return f.t >= next || codesOf(f) == codes; });
        if (at == frames.end() || at->t >= next) {
            ++wrong;
            continue;
        }
        worst = std::max(worst, at->t - t);
        ++changes;
    }
    report(op.padFailures == 0 && !op.pad.empty() && wrong == 0 && worst <= kLatencyLimitNs,
           "%s: %zu gamepad changes on the wire within %.1f ms, %zu reports without the deadman "
           "changing nothing, %zu wrong, %d pad failures; limit %.1f ms",
           a[1].c_str(), changes, ms(worst), unchanged, wrong, op.padFailures, ms(kLatencyLimitNs));
}

void checkPadCpu(const Args& a) {
    const auto& cpu = operators[a[1]].cpu;
    const bool measured = cpu.size() == 2 && cpu[0].first >= 0 && cpu[1].first >= 0;
    report(measured && cpu[1].second <= cpu[0].second * kIdlePadRunsShare &&
               cpu[1].first <= std::max(kIdlePadCpuPercent, cpu[0].first * kIdlePadCpuShare),
           "%s: without a pad %.2f %% of a core and %.0f runs on a CPU a second, with an idle one "
           "%.2f %% and %.0f (in the guest)",
           a[1].c_str(), measured ? cpu[0].first : -1.0, measured ? cpu[0].second : -1.0,
           measured ? cpu[1].first : -1.0, measured ? cpu[1].second : -1.0);
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kernel-checks LOG CHECK...\n");
        return 2;
    }
    readLog(argv[1]);
    // Each check with the numbers of words, its name among them, it takes.
    const std::map<std::string, std::pair<std::string, void (*)(const Args&)>> table = {
        {"frames", {"24", checkFrames}}, {"rest", {"3", checkRest}},
        {"pad", {"3", checkPad}},        {"untouched", {"2", checkUntouched}},
        {"quit", {"2", checkQuit}},      {"pace", {"3", checkPace}},
        {"stall", {"3", checkStall}},    {"padcpu", {"2", checkPadCpu}}};
    for (int i = 2; i < argc; ++i) {
        Args a;
        std::istringstream parts(argv[i]);
        for (std::string part; std::getline(parts, part, ':');) {
            a.push_back(part);
        }
        auto it = a.empty() ? table.end() : table.find(a[0]);
        if (it == table.end() ||
            it->second.first.find(static_cast<char>('0' + a.size())) == std::string::npos) {
            report(false, "unknown check %s", argv[i]);
            continue;
        }
        it->second.second(a);
    }
    return failures == 0 ? 0 : 1;
}
