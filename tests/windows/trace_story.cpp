// trace_story TRACE: tells what a virtual transmitter's trace holds, for the
// wine tests to check, read with the trace's own reader. One line for each
// run of records of the same kind and status:
//
//   <kind> <status> <count> <start ms> <span ms> [<what>]
//
// The start counts from the trace's first record, the span from the run's
// first record to its last. <what> is, for open, the description; for baud,
// the rate; for data, word length, stop bits and parity; for accepted
// writes, "frames N" (or "torn" when the run is no whole number of valid
// frames) and then "only XX XX XX" if every frame is that one, else "first
// XX XX XX", and last "gap G": the longest time in ms from one byte's start
// on the line to the next one's. A last line "malformed N" counts lines that
// were no trace lines.
#include "link/wire_format.h"
#include "sim/trace_format.h"

#include <algorithm>
#include <cstdio>
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
        std::printf(" gap %.1f", static_cast<double>(gap) / 1e6);
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    std::FILE* file = argc == 2 ? std::fopen(argv[1], "rb") : nullptr;
    if (file == nullptr) {
        std::fprintf(stderr, "usage: trace_story TRACE (a readable file)\n");
        return 2;
    }
    TraceReader reader;
    std::vector<TraceRecord> records;
    char buffer[16384];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        readTraceText(reader, buffer, n, records);
    }
    std::fclose(file);
    finishTraceText(reader, records);
    std::vector<TraceRecord> run;
    for (std::size_t i = 0; i <= records.size(); ++i) {
        if (!run.empty() && (i == records.size() || records[i].kind != run.front().kind ||
                             records[i].status != run.front().status)) {
            printRun(run, records.front().t);
            run.clear();
        }
        if (i < records.size()) {
            run.push_back(records[i]);
        }
    }
    std::printf("malformed %zu\n", reader.malformed);
    return 0;
}
