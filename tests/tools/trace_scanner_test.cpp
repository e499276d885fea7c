// Reading rcdrive-sim's trace: which lines count, and text that arrives in
// pieces, cut off, overlong or as binary junk.
#include "tools/trace_scanner.h"

#include <gtest/gtest.h>

#include <cstring>

namespace {

std::vector<TimedByte> scanAll(const std::string& text, std::size_t piece) {
    TraceScanner scanner;
    std::vector<TimedByte> out;
    for (std::size_t at = 0; at < text.size(); at += piece) {
        scanTrace(scanner, text.data() + at, std::min(piece, text.size() - at), out);
    }
    finishTrace(scanner, out);
    return out;
}

std::string bytesOf(const std::vector<TimedByte>& bytes) {
    std::string text;
    for (const TimedByte& b : bytes) {
        text += std::to_string(b.t) + ":" + std::to_string(b.byte) + " ";
    }
    return text;
}

TEST(TraceScanner, OnlyWritesThatReachedTheLineCount) {
    TimedByte b{};
    for (const char* line :
         {"17 write C0 0", "17 write c0 0", "17 write C0 0\r", "17 write C0 00"}) {
        ASSERT_TRUE(parseTraceWrite(line, std::strlen(line), &b)) << line;
        EXPECT_EQ(b.t, 17);
        EXPECT_EQ(b.byte, 0xC0);
    }
    for (const char* line :
         {"17 write C0 4", "17 write C0 10", "17 write C0", "17 write C0 ", "17 write C 0",
          "17 write C00 0", "17 write G0 0", "17 write C0 0 0", " 17 write C0 0", "write C0 0",
          "1x write C0 0", "17 baud 1200 0", "17 open \"dimsal\" 2 0", "17 close 0", "",
          "1234567890123456789 write C0 0", "17 write C0 00000000000"}) {
        EXPECT_FALSE(parseTraceWrite(line, std::strlen(line), &b)) << line;
    }
}

TEST(TraceScanner, PiecesOfAnySizeReadTheSame) {
    const std::string text = "1 open \"dimsal\" 2 0\n2 write 80 0\n3 write 40 0\n4 write C0 4\n"
                             "5 write C0 0\n6 close 0\n";
    const std::string expected = "2:128 3:64 5:192 ";
    for (std::size_t piece = 1; piece <= text.size(); ++piece) {
        EXPECT_EQ(bytesOf(scanAll(text, piece)), expected) << "pieces of " << piece;
    }
}

TEST(TraceScanner, JunkAndOverlongLinesArePassedOverWhole) {
    // The end of an overlong line looks like a write, but is no line of its own.
    const std::string junk = std::string(1 << 20, 'x') + "9 write A1 0";
    const char binaryText[] = "\0\xff\n\x80 write\0 41 0\n";
    const std::string binary(binaryText, sizeof binaryText - 1);
    const std::string text = "1 write 80 0\n" + junk + "\n" + binary + "2 write 41 0\n3 write C1 0";
    // 13 + 2^20: a piece begins right on the look-alike.
    for (std::size_t piece :
         {std::size_t{7}, std::size_t{4096}, std::size_t{(1 << 20) + 13}, text.size()}) {
        EXPECT_EQ(bytesOf(scanAll(text, piece)), "1:128 2:65 3:193 ") << piece;
    }
}

TEST(TraceScanner, RestartForgetsTheUnfinishedLine) {
    TraceScanner scanner;
    std::vector<TimedByte> out;
    const std::string before = "1 write 8";
    const std::string after = "2 write 40 0\n";
    scanTrace(scanner, before.data(), before.size(), out);
    restartTrace(scanner);
    scanTrace(scanner, after.data(), after.size(), out);
    EXPECT_EQ(bytesOf(out), "2:64 ");
}

} // namespace
