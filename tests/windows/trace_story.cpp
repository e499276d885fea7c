// trace_story TRACE: tells what a virtual transmitter's trace holds, for the
// wine tests to check, read with the trace's own reader. One line for each
// run of records of the same kind and status:
//
//   <kind> <status> <count> <start ms> <span ms> [<what>]
//
// where the start counts from the trace's first record and the span from
// the run's first record to its last, and
// <what> is, for open, the description; for baud, the rate; for data,
// word length, stop bits and parity; for accepted writes, "frames N" (or
// "torn" when the run is no whole number of valid frames) and then "only
// XX XX XX" if every frame is that one, else "first XX XX XX". A last line
// "malformed N" counts lines that were no trace lines.
#include "link/wire_format.h"
#include "sim/trace_format.h"

#include <cstdio>
#include <vector>

namespace {

void printWrites(const std::vector<TraceRecord>& run) {
    bool whole = run.size() % 3 == 0;
    bool same = true;
    for (std::size_t i = 0; whole && i + 2 < run.size(); i += 3) {
        whole = isValidFrame(run[i].values[0], run[i + 1].values[0], run[i + 2].values[0]);
        for (std::size_t k = 0; k < 3; ++k) {
            same = same && run[i + k].values[0] == run[k].values[0];
        }
    }
    if (!whole) {
        std::printf(" torn");
        return;
    }
    std::printf(" frames %zu %s %02X %02X %02X", run.size() / 3, same ? "only" : "first",
                run[0].values[0], run[1].values[0], run[2].values[0]);
}

void printRun(const std::vector<TraceRecord>& run, std::int64_t traceStart) {
    const TraceRecord& first = run.front();
    std::printf("%s %u %zu %lld %lld", traceKindName(first.kind), first.status, run.size(),
                static_cast<long long>((first.t - traceStart) / 1000000),
                static_cast<long long>((run.back().t - first.t) / 1000000));
    switch (first.kind) {
    case TraceKind::Open:
        std::printf(" \"%s\"", first.description.c_str());
        break;
    case TraceKind::Baud:
        std::printf(" %u", first.values[0]);
        break;
    case TraceKind::Data:
        std::printf(" %u %u %u", first.values[0], first.values[1], first.values[2]);
        break;
    case TraceKind::Write:
        if (first.status == 0) {
            printWrites(run);
        }
        break;
    default:
        break;
    }
    std::printf("\n");
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: trace_story TRACE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "trace_story: cannot read %s\n", argv[1]);
        return 1;
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
    for (const TraceRecord& record : records) {
        if (!run.empty() &&
            (record.kind != run.front().kind || record.status != run.front().status)) {
            printRun(run, records.front().t);
            run.clear();
        }
        run.push_back(record);
    }
    if (!run.empty()) {
        printRun(run, records.front().t);
    }
    std::printf("malformed %zu\n", reader.malformed);
    return 0;
}
