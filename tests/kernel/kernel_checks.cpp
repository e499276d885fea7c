// kernel-checks: reads the log of one scenario (the emulated chips' control
// requests and wire bytes, the operators' keys and exits) and runs the checks
// named on the command line, one "PASS: ..." or "FAIL: ..." line each.
//
//   kernel-checks LOG CHECK...
//
//   line:CHIP        every byte went out at 1200 baud (divisor 0x09C4, index
//                    0), 8E1 (0x0208), no flow control
//   frames:CHIP      the bytes of each plug-in are whole frames with right checksums
//   rest:CHIP        each plug-in starts with the rest frame; the last one ends
//                    with it, then DTR and RTS drop
//   untouched:CHIP   never opened: no reset, line setting, modem line or byte
//   carries:CHIP:SS:TT  a frame with speed code SS, steering code TT
//   opened:CHIP:N    N plug-ins carried bytes
//   quit:OP:MS       OP ended with status 0 within MS after its last q
//   waits:OP         OP saw every text it waited for
//   pace:CHIP:OP     OP's presses: line use >= 97 %, key-to-wire latency, output queue
#include "bench/line_trace.h"
#include "process/clock.h"

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

struct PlugIn {
    std::vector<LineByte> wire;
    std::size_t wrongLine = 0;     // bytes sent at another setting
    std::int64_t linesDropNs = -1; // DTR and RTS dropped after the last byte
    bool unplugged = false;
    std::vector<int> requests; // vendor OUT requests
};

struct Chip {
    std::vector<PlugIn> plugIns;
    unsigned baud = 0, baudIndex = 0, data = 0, flow = 0;
};

struct Operator {
    std::vector<std::pair<std::int64_t, std::string>> keys; // time, bytes
    std::int64_t exitNs = -1;
    int status = -1;
    int missed = 0;
    int mostQueued = -1;
    long queueSamples = 0;
};

std::map<std::string, Chip> chips;
std::map<std::string, Operator> operators;
int failures = 0;

void report(bool ok, const std::string& what) {
    std::printf("%s: %s\n", ok ? "PASS" : "FAIL", what.c_str());
    failures += ok ? 0 : 1;
}

void operatorEvent(Operator& op, std::int64_t t, const std::string& what,
                   std::istringstream& words) {
    if (what == "key") {
        std::string bytes;
        unsigned b = 0;
        while (words >> std::hex >> b) {
            bytes += static_cast<char>(b);
        }
        op.keys.emplace_back(t, bytes);
    } else if (what == "exit") {
        op.exitNs = t;
        words >> op.status;
    } else if (what == "missed") {
        ++op.missed;
    } else if (what == "outq") {
        words >> op.mostQueued >> op.queueSamples;
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
    if (what == "unplug" || what == "gone") {
        p.unplugged = true;
    } else if (what == "ctrl" && words >> std::hex >> type >> request >> value >> index &&
               type == 0x40) {
        p.requests.push_back(static_cast<int>(request));
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
    const std::string operatorEvents = " start key text missed exit hung outq ";
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
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

std::string ms(std::int64_t ns) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f ms", static_cast<double>(ns) / 1e6);
    return text;
}

using Args = std::vector<std::string>;

void checkLine(const Args& a) {
    std::size_t bytes = 0, wrong = 0;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        bytes += p.wire.size();
        wrong += p.wrongLine;
    }
    report(bytes > 0 && wrong == 0, a[1] + ": " + std::to_string(bytes) +
                                        " bytes at 1200 8E1, no flow control; " +
                                        std::to_string(wrong) + " otherwise");
}

void checkFrames(const Args& a) {
    std::size_t frames = 0, bad = 0, cut = 0;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        for (const Frame& f : framesOf(p)) {
            ++frames;
            bad += !(isSpeedCode(f.speed) && isSteerCode(f.steer) &&
                     f.checksum == ((f.speed + f.steer) & 0xFF));
        }
        // Pulled out, the chip may have been cut off in the middle of a frame.
        cut += !p.unplugged && p.wire.size() % 3 != 0;
    }
    report(frames > 0 && bad == 0 && cut == 0,
           a[1] + ": " + std::to_string(frames) + " frames, " + std::to_string(bad) +
               " with a wrong code or checksum, " + std::to_string(cut) + " closes in mid-frame");
}

void checkRest(const Args& a) {
    const std::vector<PlugIn>& plugIns = chips[a[1]].plugIns;
    std::size_t first = 0, opened = 0;
    for (const PlugIn& p : plugIns) {
        const std::vector<Frame> frames = framesOf(p);
        opened += !frames.empty();
        first += !frames.empty() && isRest(frames.front());
    }
    const bool last = !plugIns.empty() && !framesOf(plugIns.back()).empty() &&
                      isRest(framesOf(plugIns.back()).back()) &&
                      plugIns.back().wire.size() % 3 == 0;
    report(opened > 0 && first == opened, a[1] + ": " + std::to_string(first) + " of " +
                                              std::to_string(opened) +
                                              " opens begin with the rest frame");
    report(last, a[1] + ": the rest frame last on the wire");
    report(!plugIns.empty() && plugIns.back().linesDropNs >= 0,
           a[1] + ": DTR and RTS drop after it");
}

void checkUntouched(const Args& a) {
    std::size_t touched = 0;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        touched += p.wire.size();
        for (int r : p.requests) {
            touched += r == 0 || r == 1 || r == 3 || r == 4;
        }
    }
    report(!chips[a[1]].plugIns.empty() && touched == 0, a[1] + ": never opened");
}

void checkCarries(const Args& a) {
    const unsigned speed = std::strtoul(a[2].c_str(), nullptr, 16);
    const unsigned steer = std::strtoul(a[3].c_str(), nullptr, 16);
    bool found = false;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        for (const Frame& f : framesOf(p)) {
            found = found || (f.speed == speed && f.steer == steer);
        }
    }
    report(found, a[1] + ": carries frame " + a[2] + " " + a[3]);
}

void checkOpened(const Args& a) {
    std::size_t opened = 0;
    for (const PlugIn& p : chips[a[1]].plugIns) {
        opened += !p.wire.empty();
    }
    report(opened == std::strtoul(a[2].c_str(), nullptr, 10), a[1] + ": " + std::to_string(opened) +
                                                                  " plug-ins carried frames, " +
                                                                  a[2] + " expected");
}

void checkQuit(const Args& a) {
    const Operator& op = operators[a[1]];
    std::int64_t quitNs = -1;
    for (const auto& key : op.keys) {
        quitNs = key.second.find('q') != std::string::npos ? key.first : quitNs;
    }
    const std::int64_t took = op.exitNs - quitNs;
    report(quitNs >= 0 && op.exitNs >= quitNs && op.status == 0 &&
               took <= std::atoll(a[2].c_str()) * kNsPerMs,
           a[1] + ": exit " + std::to_string(op.status) + " " + ms(took) + " after q, limit " +
               a[2] + " ms");
}

void checkWaits(const Args& a) {
    const Operator& op = operators.count(a[1]) ? operators[a[1]] : Operator{};
    report(operators.count(a[1]) && op.missed == 0,
           a[1] + ": " + std::to_string(op.missed) + " awaited texts missed");
}

// Presses of Up and Down from rest: the speed code each should bring.
std::vector<KeyPress> presses(const Operator& op) {
    std::vector<KeyPress> out;
    int level = 0;
    for (const auto& key : op.keys) {
        const int step = key.second == "\x1b[A" ? 1 : key.second == "\x1b[B" ? -1 : 0;
        if (step != 0) {
            level += step;
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
        report(false, a[1] + ": no presses or no bytes to measure");
        return;
    }
    std::vector<std::int64_t> latencies = pressLatenciesNs(framesOf(plugIns.back()), keys);
    std::size_t unanswered = 0;
    for (std::int64_t l : latencies) {
        unanswered += l < 0;
    }
    LineTrace trace;
    trace.baud = kLineBaud;
    trace.bitsPerByte = kLineBitsPerByte;
    trace.configured = true;
    trace.bytes = plugIns.back().wire;
    const LineUse use = lineUse(trace, keys.front().keyNs, keys.back().keyNs, 0);
    char text[160];
    std::snprintf(text, sizeof text, "%s: line %.1f %% busy over %zu bytes while driving",
                  a[1].c_str(), use.busyFraction * 100, use.bytes);
    report(use.busyFraction >= 0.97, text);
    report(unanswered == 0 && percentile(latencies, 99) <= kLatencyLimitNs,
           a[1] + ": key-to-wire latency p50 " + ms(percentile(latencies, 50)) + ", p99 " +
               ms(percentile(latencies, 99)) + " over " + std::to_string(keys.size()) +
               " presses (" + std::to_string(unanswered) + " unanswered), limit " +
               ms(kLatencyLimitNs));
    report(op.queueSamples > 0 && op.mostQueued <= 3,
           a[2] + ": at most " + std::to_string(op.mostQueued) + " bytes queued in the driver (" +
               std::to_string(op.queueSamples) + " samples)");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: kernel-checks LOG CHECK...\n");
        return 2;
    }
    readLog(argv[1]);
    const std::map<std::string, std::pair<std::size_t, void (*)(const Args&)>> table = {
        {"line", {2, checkLine}},       {"frames", {2, checkFrames}},
        {"rest", {2, checkRest}},       {"untouched", {2, checkUntouched}},
        {"carries", {4, checkCarries}}, {"opened", {3, checkOpened}},
        {"quit", {3, checkQuit}},       {"waits", {2, checkWaits}},
        {"pace", {3, checkPace}}};
    for (int i = 2; i < argc; ++i) {
        Args a;
        std::istringstream parts(argv[i]);
        for (std::string part; std::getline(parts, part, ':');) {
            a.push_back(part);
        }
        auto it = a.empty() ? table.end() : table.find(a[0]);
        if (it == table.end() || a.size() != it->second.first) {
            report(false, std::string("unknown check ") + argv[i]);
            continue;
        }
        it->second.second(a);
    }
    return failures == 0 ? 0 : 1;
}
