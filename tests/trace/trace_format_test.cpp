// The trace's one format, written and read: every kind of line round trips,
// and text that arrives in pieces, cut off, overlong or as binary junk is
// read as the whole lines it holds and nothing else.
#include "trace/trace_file.h"
#include "trace/trace_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::vector<TraceRecord> readAll(const std::string& text, std::size_t piece) {
    TraceReader reader;
    std::vector<TraceRecord> out;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        readTraceText(reader, text.data() + at, std::min(piece, text.size() - at), out);
    }
    finishTraceText(reader, out);
    return out;
}

// The accepted bytes as "t:value", in order.
std::string acceptedOf(const std::vector<TraceRecord>& records) {
    std::string text;
    for (const TraceRecord& r : records) {
        if (isAcceptedWrite(r)) {
            text += std::to_string(r.t) + ":" + std::to_string(r.values[0]) + " ";
        }
    }
    return text;
}

TEST(TraceFormat, EveryKindOfLineReadsBackAsWritten) {
    for (const char* line :
         {"17 open \"dimsal\" 2 0\n", "17 open \"dimsal A\" 2 2\n", "17 open \"\" 2 2\n",
          "18 baud 1200 0\n", "19 data 8 0 2 0\n", "1578610802788 write C0 0\n", "21 write 0A 4\n",
          "22 close 0\n", "23 close 1\n"}) {
        TraceRecord record;
        ASSERT_TRUE(parseTraceLine(line, std::strlen(line) - 1, &record)) << line;
        EXPECT_EQ(formatTraceLine(record), line);
    }
}

TEST(TraceFormat, LinesThatAreNoTraceLinesAreRefused) {
    TraceRecord record;
    for (const char* line :
         {"17 write C0", "17 write C0 ", "17 write C 0", "17 write C00 0", "17 write G0 0",
          "17 write C0 0 0", " 17 write C0 0", "write C0 0", "1x write C0 0", "17 baud 0",
          "17 data 8 0 0", "17 open dimsal 2 0", "17 open \" 2 0", "17 close", "17 jump 0", "",
          "1234567890123456789 write C0 0", "17 write C0 00000000000", "17 baud 4294967296 0"}) {
        EXPECT_FALSE(parseTraceLine(line, std::strlen(line), &record)) << line;
    }
    // A carriage return before the line feed, and the status in any number
    // of digits, are still the line.
    for (const char* line : {"17 write c0 0\r", "17 write C0 00"}) {
        ASSERT_TRUE(parseTraceLine(line, std::strlen(line), &record)) << line;
        EXPECT_TRUE(isAcceptedWrite(record));
        EXPECT_EQ(record.values[0], 0xC0u);
    }
}

// Whatever the pieces, the whole lines are read, and nothing of the junk
// between them.
TEST(TraceFormat, PiecesOfAnySizeReadTheWholeLinesAndNothingElse) {
    const std::string lines = "1 open \"dimsal\" 2 0\n2 write 80 0\n3 write 40 0\n4 write C0 4\n"
                              "5 write C0 0\n6 close 0\n";
    for (std::size_t piece = 1; piece <= lines.size(); ++piece) {
        const std::vector<TraceRecord> records = readAll(lines, piece);
        EXPECT_EQ(records.size(), 6u) << "pieces of " << piece;
        EXPECT_EQ(acceptedOf(records), "2:128 3:64 5:192 ") << "pieces of " << piece;
    }
    // The end of an overlong line looks like a write, but is no line of its own.
    const char binary[] = "\0\xff\n\x80 write\0 41 0\n";
    const std::string junk = "1 write 80 0\n" + std::string(1 << 20, 'x') + "9 write A1 0\n" +
                             std::string(binary, sizeof binary - 1) + "2 write 41 0\n3 write C1 0";
    // 13 + 2^20: a piece begins right on the look-alike.
    for (std::size_t piece :
         {std::size_t{7}, std::size_t{4096}, std::size_t{(1 << 20) + 13}, junk.size()}) {
        EXPECT_EQ(acceptedOf(readAll(junk, piece)), "1:128 2:65 3:193 ") << "pieces of " << piece;
    }
}

} // namespace

// A trace nobody reads, with no memory to spare: lines the reader does not
// take are dropped, never the program.
TEST(TraceFile, WithNoMemoryToSpareLinesAreDroppedNotTheProgram) {
    const std::string fifo = "/tmp/rcdrive-trace-fifo-" + std::to_string(getpid());
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    fcntl(reader, F_SETPIPE_SZ, 4096);
    std::string error;
    bool busy = false;
    ASSERT_TRUE(openTraceFile(fifo, error, busy)) << error;
    // From here no allocation of new memory can succeed.
    rlimit before{};
    getrlimit(RLIMIT_AS, &before);
    long pages = 0;
    std::ifstream("/proc/self/statm") >> pages;
    rlimit none = before;
    none.rlim_cur = static_cast<rlim_t>(pages) * static_cast<rlim_t>(sysconf(_SC_PAGESIZE));
    setrlimit(RLIMIT_AS, &none);
    const char line[] = "1578610802788 write C0 0\n";
    for (std::size_t sent = 0; sent < 2 * kTraceHoldBytes; sent += sizeof line - 1) {
        writeTraceLine(line, sizeof line - 1);
    }
    setrlimit(RLIMIT_AS, &before);
    closeTraceFile();
    char text[8192];
    const ssize_t got = read(reader, text, sizeof text);
    EXPECT_GE(got, 4000) << "what the reader had room for went out";
    close(reader);
    unlink(fifo.c_str());
}
