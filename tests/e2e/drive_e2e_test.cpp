// rcdrive-sim end to end: keys typed into a real pseudo-terminal, the screen
// read back from it, the line read from the virtual transmitter's trace.
#include "link/wire_format.h"
#include "testkit/pty_session.h"
#include "testkit/sim_run.h"

#include "trace/trace_file.h"

#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

namespace {

const std::string kPrompt = "\x1b[H\x1b[2JPripojte vysilac na USB";
const std::string kUp = "\x1b[A";
const std::vector<unsigned> kRestFrame = {0x80, 0x40, 0xC0};

// Whether the bytes from `from` on are whole copies of the frame.
bool allFrames(const std::vector<unsigned>& bytes, std::size_t from,
               const std::vector<unsigned>& frame) {
    for (std::size_t i = from; i < bytes.size(); ++i) {
        if (bytes[i] != frame[(i - from) % 3]) {
            return false;
        }
    }
    return (bytes.size() - from) % 3 == 0;
}

// Keys typed at the prompt are neither echoed nor lost, however long the
// transmitter takes to come: once it is there, the first frame is the rest
// frame and the keys follow it.
TEST(DriveEndToEnd, PromptsUntilAttachedThenAppliesTheKeysTypedMeanwhile) {
    SimRun run({"--attach-after", "4000"});
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000));
    typeKeys(run.session, kUp + kUp + "\x1b[C");
    readFor(run.session, 3500);
    EXPECT_EQ(run.session.output, kPrompt) << "drawn once while the attempts go on";
    const std::vector<TraceRecord> attempts = run.entries();
    EXPECT_GT(attempts.size(), 5u) << "keeps trying";
    for (const TraceRecord& record : attempts) {
        EXPECT_EQ(record.kind, TraceKind::Open);
        EXPECT_EQ(record.status, 2u);
    }
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 2, Vpravo: 1\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 12, 3000));
    std::vector<unsigned> bytes = run.bytes();
    bytes.resize(bytes.size() - bytes.size() % 3);
    EXPECT_TRUE(allFrames({bytes.begin(), bytes.begin() + 3}, 0, kRestFrame));
    EXPECT_TRUE(allFrames(bytes, 3, {0xA2, 0x51, 0xF3}));
}

// The line is set once, to 1200 baud 8E1, before the first frame; the stream
// goes on frame by frame, rest frames until a key changes the command.
TEST(DriveEndToEnd, LineIsSetOnceThenFramesFollowTheKeys) {
    SimRun run;
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 30, 3000));
    const std::vector<TraceRecord> trace = run.entries();
    ASSERT_GE(trace.size(), 4u);
    EXPECT_EQ(trace[0].kind, TraceKind::Open);
    EXPECT_EQ(trace[0].description, "dimsal");
    EXPECT_EQ(trace[0].values[0], 2u);
    EXPECT_EQ(trace[0].status, 0u);
    EXPECT_EQ(trace[1].kind, TraceKind::Baud);
    EXPECT_EQ(trace[1].values[0], 1200u);
    EXPECT_EQ(trace[2].kind, TraceKind::Data);
    EXPECT_EQ(std::vector<unsigned>(trace[2].values, trace[2].values + 3),
              (std::vector<unsigned>{8, 0, 2}));
    for (std::size_t i = 3; i < trace.size(); ++i) {
        EXPECT_TRUE(isAcceptedWrite(trace[i])) << "record " << i;
    }
    const std::size_t atRest = run.bytes().size();
    typeKeys(run.session, kUp);
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1, Nenatoceno: 0\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, atRest + 30, 3000));
    std::vector<unsigned> bytes = run.bytes();
    bytes.resize(bytes.size() - bytes.size() % 3);
    std::size_t forward = atRest - atRest % 3;
    while (forward < bytes.size() && bytes[forward] == 0x80) {
        forward += 3;
    }
    EXPECT_TRUE(allFrames({bytes.begin(), bytes.begin() + forward}, 0, kRestFrame));
    EXPECT_GE(bytes.size() - forward, 9u);
    EXPECT_TRUE(allFrames(bytes, forward, {0xA1, 0x40, 0xE1}));
    EXPECT_EQ(screen(run.session), " Vpred: 1, Nenatoceno: 0\r\n");
}

// A quit key typed at the prompt ends the program at once, whatever was
// typed before it: nothing opened, nothing sent, Q and PgDn with STOP.
TEST(DriveEndToEnd, AQuitKeyAtThePromptEndsAtOnceWithNothingOpened) {
    for (const std::string key : {"q", "Q", "\x1b[6~"}) {
        SimRun run({"--attach-after", "60000"});
        ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000));
        readFor(run.session, 100);
        const std::int64_t typed = nowNs();
        typeKeys(run.session, kUp + "x" + key);
        ASSERT_TRUE(waitForExit(run.session, 3000)) << key;
        EXPECT_LT(nowNs() - typed, 200 * 1000000LL) << key;
        EXPECT_EQ(exitCode(run.session), 0);
        EXPECT_EQ(screen(run.session), "Close\r\n");
        EXPECT_EQ(run.session.output.find("STOP\r\n") != std::string::npos, key != "q") << key;
        for (const TraceRecord& record : run.entries()) {
            EXPECT_TRUE(record.kind == TraceKind::Open && record.status != 0) << "opened";
        }
    }
}

// rcdrive answers --help and --version given alone, without touching the
// screen or looking for the transmitter; any other arguments are ignored,
// as before, and it prompts, where q ends it.
TEST(DriveEndToEnd, RcdriveAnswersHelpAndVersionAloneAndIgnoresOtherArguments) {
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"--help"}, "usage: rcdrive [--help | --version]\r\n"},
        {{"--version"}, "rcdrive " RCDRIVE_VERSION "\r\n"},
        {{"--help", "--version"}, kPrompt},
        {{"-x"}, kPrompt},
    };
    for (const auto& [args, begins] : cases) {
        std::vector<std::string> argv = {RCDRIVE_PATH};
        argv.insert(argv.end(), args.begin(), args.end());
        PtySession session = startInPty(argv);
        if (begins == kPrompt && waitForOutput(session, kPrompt, 3000)) {
            typeKeys(session, "q");
        }
        ASSERT_TRUE(waitForExit(session, 3000)) << session.output;
        EXPECT_EQ(session.output.find(begins), 0u) << session.output;
        EXPECT_EQ(exitCode(session), 0);
        endSession(session);
    }
}

// A trace that another run is writing is refused, and left as it is.
TEST(SimOptions, ATraceAnotherRunWritesIsRefusedAndLeftAlone) {
    SimRun first;
    ASSERT_TRUE(waitForBytes(first.trace, 30, 3000));
    PtySession second = startInPty({RCDRIVE_SIM_PATH, "--trace", first.trace});
    ASSERT_TRUE(waitForExit(second, 3000));
    EXPECT_EQ(exitCode(second), 2);
    EXPECT_EQ(second.output, "rcdrive-sim: trace " + first.trace +
                                 " is being written by another run: give each run its own\r\n");
    endSession(second);
    typeKeys(first.session, "q");
    ASSERT_TRUE(waitForExit(first.session, 3000));
    const std::vector<TraceRecord> trace = first.entries();
    ASSERT_FALSE(trace.empty());
    EXPECT_EQ(trace.front().kind, TraceKind::Open) << "the first run's trace was emptied";
}

// Address space in bytes, from /proc.
long long addressSpace(pid_t pid) {
    long long pages = 0;
    std::ifstream("/proc/" + std::to_string(pid) + "/statm") >> pages;
    return pages * sysconf(_SC_PAGESIZE);
}

// Under a memory limit that leaves no room for the lines a trace holds, the
// run is refused at start, rather than driving on with a trace that loses
// every line.
TEST(SimOptions, ATraceWithNoRoomToHoldLinesIsRefusedAtStart) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer's shadow memory leaves no address space limit to set";
#endif
    SimRun measured({"--attach-after", "60000"});
    ASSERT_TRUE(waitForOutput(measured.session, kPrompt, 2000));
    // All it needs, less half the room the trace holds: enough up to it.
    const long long limit = addressSpace(measured.session.pid) - kTraceHoldBytes / 2;
    SimRun run({}, {"/usr/bin/prlimit", "--as=" + std::to_string(limit)});
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 1);
    EXPECT_EQ(run.session.output, "rcdrive-sim: trace " + run.trace +
                                      ": no memory for the 1048576 bytes that hold lines a "
                                      "reader has not taken yet\r\n");
}

constexpr std::int64_t kMs = 1000000;

// The chip takes nothing for 2 s while driving: a pause, and no backlog after
// it. The frame on its way finishes, the Esc typed during the stall is the
// first new frame, and a key after it reaches the line as fast as ever.
TEST(Stall, AStallIsAPauseAfterWhichTheCommandInForceGoesOut) {
    const std::int64_t start = nowNs();
    SimRun run({"--stall-after", "1500", "--stall-for", "2000"});
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 1000));
    typeKeys(run.session, kUp);
    readFor(run.session, static_cast<int>((start + 2500 * kMs - nowNs()) / kMs));
    typeKeys(run.session, "\x1b");
    readFor(run.session, static_cast<int>((start + 4000 * kMs - nowNs()) / kMs));
    const std::int64_t upNs = nowNs();
    typeKeys(run.session, kUp);
    readFor(run.session, 200);
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    const std::vector<TraceRecord> trace = run.entries();
    std::int64_t last = 0, stallEnd = 0;
    for (const TraceRecord& record : trace) {
        stallEnd = isAcceptedWrite(record) && record.t - last > 1000 * kMs ? record.t : stallEnd;
        last = isAcceptedWrite(record) ? record.t : last;
    }
    EXPECT_NEAR(stallEnd - start, 3500 * kMs, 100 * kMs) << "the stall's end on the line";
    const std::vector<unsigned> bytes = run.bytes();
    for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
        EXPECT_TRUE(isValidFrame(bytes[i], bytes[i + 1], bytes[i + 2])) << "frame at byte " << i;
    }
    const std::int64_t esc = frameWithSpeedNs(trace, 0x80, stallEnd);
    const std::int64_t up = frameWithSpeedNs(trace, 0xA1, upNs);
    EXPECT_TRUE(esc >= 0 && esc - stallEnd <= 60 * kMs) << "Esc, from the stall's end";
    EXPECT_TRUE(up >= 0 && up - upNs <= 60 * kMs) << "Up after the stall";
}

// A transmitter that opens but takes nothing counts as lost after 3 s, and is
// opened again no sooner than a second later, under a prompt and a reason
// that stay as they are. Ctrl+C still ends it at once.
TEST(Stall, ATransmitterThatTakesNoDataIsTriedEverySecondUnderASteadyPrompt) {
    SimRun run({"--stall-after", "0"});
    readFor(run.session, 4500);
    EXPECT_EQ(run.session.output,
              kPrompt + kPrompt +
                  "\r\nthe transmitter opened but takes no data, tried again every second");
    std::vector<std::int64_t> opens;
    for (const TraceRecord& record : run.entries()) {
        opens.insert(opens.end(), record.kind == TraceKind::Open ? 1 : 0, record.t);
    }
    ASSERT_EQ(opens.size(), 2u);
    EXPECT_GE(opens[1] - opens[0], 4000 * kMs) << "3 s without data, then a second";
    typeKeys(run.session, "\x03");
    ASSERT_TRUE(waitForExit(run.session, 1000));
    EXPECT_EQ(exitCode(run.session), 130);
}

// Each wrong command line is named, then the usage follows.
TEST(SimOptions, WrongOptionsSayWhatIsWrongThenTheUsage) {
    struct Case {
        std::vector<std::string> args;
        const char* problem;
    };
    const Case cases[] = {
        {{"--bogus"}, "--bogus: unknown option"},
        {{"stray"}, "stray: unexpected argument"},
        {{"--fifo"}, "--fifo: needs a whole number from 1 to 1048576"},
        {{"--trace", ""}, "--trace: needs a file name"},
        {{"--fifo", "0"}, "--fifo 0: must be a whole number from 1 to 1048576"},
        {{"--fifo", "12x"}, "--fifo 12x: must be a whole number from 1 to 1048576"},
        {{"--fifo", "+5"}, "--fifo +5: must be a whole number from 1 to 1048576"},
        {{"--fifo", " 5"}, "--fifo  5: must be a whole number from 1 to 1048576"},
        {{"--rate-error", " -5"},
         "--rate-error  -5: must be a whole number from -100000 to 100000"},
        {{"--trace", "--unpaced"}, "--trace: needs a file name"},
        {{"--attach-after", "-0"},
         "--attach-after -0: must be a whole number from 0 to 2147483647"},
        {{"--rate-error", "9999999"},
         "--rate-error 9999999: must be a whole number from -100000 to 100000"},
        {{"--replug-after", "2500"}, "--replug-after 2500: needs --unplug-after"},
        {{"--replug-after", "100", "--unplug-after", "200"},
         "--replug-after 100: must not be before --unplug-after 200"},
        {{"--stall-for", "100"}, "--stall-for 100: needs --stall-after"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {RCDRIVE_SIM_PATH};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        PtySession session = startInPty(argv);
        ASSERT_TRUE(waitForExit(session, 3000));
        EXPECT_EQ(exitCode(session), 2) << c.problem;
        EXPECT_EQ(session.output.find(std::string("rcdrive-sim: ") + c.problem +
                                      "\r\nusage: rcdrive-sim "),
                  0u)
            << session.output;
        endSession(session);
    }
    // --help anywhere is answered before the rest is looked at.
    PtySession help = startInPty({RCDRIVE_SIM_PATH, "--fifo", "0", "--trace", "--help"});
    ASSERT_TRUE(waitForExit(help, 3000));
    EXPECT_EQ(exitCode(help), 0);
    EXPECT_EQ(help.output.find("usage: rcdrive-sim "), 0u) << help.output;
    endSession(help);
}

} // namespace
