// trace_story TRACE: what a virtual transmitter's trace holds, read with the
// trace's own reader, for the wine tests to check. One line for each run of
// records of the same kind and status:
//
//   <kind> <status> <count> <start ms> <span ms> [<what>]
//
// The start counts from the trace's first record, the span from the run's
// first record to its last. <what> is, for open, the description; for baud,
// the rate; for data, word length, stop bits and parity; for accepted
// writes, "frames N only|first XX XX XX" (every frame is that one, or only
// the first) or "torn" (no whole number of valid frames), then "gap G": the
// longest time in ms from one byte's start on the line to the next one's,
// and for whole frames "path" and each speed and steering code pair as it
// changes (8040 A140 ...). A last line "malformed N" counts lines that were
// no trace lines.
#include "link/wire_format.h"
#include "trace/trace_format.h"

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <vector>

namespace {

void printRun(const std::vector<TraceRecord>& run, std::int64_t traceStart) {
    const TraceRecord& first = run.front();
    const std::uint32_t* v = first.values;
    std::printf("%s %u %zu %lld %lld", traceKindName(first.kind), first.status, run.size(),
                static_cast<long long>((first.t - traceStart) / 1000000),
                static_cast<long long>((run.back().t - first.t) / 1000000));
    if (first.kind == TraceKind::Open) {
        std::printf(" \"%s\"", first.description.c_str());
    } else if (first.kind == TraceKind::Baud) {
        std::printf(" %u", v[0]);
    } else if (first.kind == TraceKind::Data) {
        std::printf(" %u %u %u", v[0], v[1], v[2]);
    } else if (first.kind == TraceKind::Write && first.status == 0) {
        bool whole = run.size() % 3 == 0;
        bool same = true;
        std::int64_t gap = 0;
        for (std::size_t i = 1; i < run.size(); ++i) {
            gap = std::max(gap, run[i].t - run[i - 1].t);
        }
        for (std::size_t i = 0; whole && i < run.size(); i += 3) {
            whole = isValidFrame(run[i].values[0], run[i + 1].values[0], run[i + 2].values[0]);
            for (std::size_t k = 0; k < 3; ++k) {
                same = same && run[i + k].values[0] == run[k].values[0];
            }
        }
        if (whole) {
            std::printf(" frames %zu %s %02X %02X %02X", run.size() / 3, same ? "only" : "first",
                        v[0], run[1].values[0], run[2].values[0]);
        } else {
            std::printf(" torn");
        }
        std::printf(" gap %.1f%s", static_cast<double>(gap) / 1e6, whole ? " path" : "");
        for (std::size_t i = 0; whole && i < run.size(); i += 3) {
            if (i == 0 || run[i].values[0] != run[i - 3].values[0] ||
                run[i + 1].values[0] != run[i - 2].values[0]) {
                std::printf(" %02X%02X", run[i].values[0], run[i + 1].values[0]);
            }
        }
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    std::ifstream file(argc == 2 ? argv[1] : "", std::ios::binary);
    if (!file) {
        std::fprintf(stderr, "usage: trace_story TRACE (a readable file)\n");
        return 2;
    }
    std::ostringstream text;
    text << file.rdbuf();
    TraceReader reader;
    std::vector<TraceRecord> records;
    readTraceText(reader, text.str().data(), text.str().size(), records);
    finishTraceText(reader, records);
    for (auto start = records.begin(), end = start; start != records.end(); start = end) {
        end = std::find_if(start, records.end(), [&](const TraceRecord& r) {
            return r.kind != start->kind || r.status != start->status;
        });
        printRun(std::vector<TraceRecord>(start, end), records.front().t);
    }
    std::printf("malformed %zu\n", reader.malformed);
    return 0;
}
