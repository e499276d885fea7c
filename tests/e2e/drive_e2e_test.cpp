// rcdrive-sim end to end: keys typed into a real pseudo-terminal, the screen
// read back from it, the line read from the virtual transmitter's trace.
#include "testkit/pty_session.h"
#include "testkit/sim_run.h"

#include <gtest/gtest.h>

#include <sys/wait.h>

namespace {

const std::string kSim = RCDRIVE_SIM_PATH;
const std::string kPrompt = "Pripojte vysilac na USB";
const std::string kUp = "\x1b[A";
const std::string kRight = "\x1b[C";
const std::string kPgDn = "\x1b[6~";

std::size_t countKind(const std::vector<TraceRecord>& trace, TraceKind kind) {
    std::size_t count = 0;
    for (const TraceRecord& record : trace) {
        count += record.kind == kind;
    }
    return count;
}

// Every frame from `from` on: three bytes, speed, steering, checksum.
void expectFrames(const std::vector<unsigned>& bytes, std::size_t from,
                  std::vector<unsigned> frame) {
    ASSERT_EQ((bytes.size() - from) % 3, 0u);
    for (std::size_t i = from; i < bytes.size(); i += 3) {
        ASSERT_EQ(std::vector<unsigned>(bytes.begin() + i, bytes.begin() + i + 3), frame) << i;
    }
}

TEST(DriveEndToEnd, PromptsUntilAttachedThenGoesOnByItself) {
    SimRun run({"--attach-after", "600"});
    readFor(run.session, 300);
    EXPECT_TRUE(onlyThePrompt(run.session, kPrompt)) << "drawn once while the attempts go on";
    for (const TraceRecord& record : run.entries()) {
        EXPECT_EQ(record.kind, TraceKind::Open);
        EXPECT_EQ(record.status, 2u);
    }
    EXPECT_GT(countKind(run.entries(), TraceKind::Open), 5u) << "keeps trying";
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 30, 3000));
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 0);
}

TEST(DriveEndToEnd, LineIsSetOnceBeforeTheFirstFrameOfRest) {
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
    EXPECT_EQ(countKind(trace, TraceKind::Baud), 1u);
    EXPECT_EQ(countKind(trace, TraceKind::Data), 1u);
    EXPECT_EQ(trace[3].kind, TraceKind::Write);
    std::vector<unsigned> bytes = run.bytes();
    bytes.resize(bytes.size() - bytes.size() % 3);
    expectFrames(bytes, 0, {0x80, 0x40, 0xC0});
    EXPECT_EQ(screen(run.session), " Stuj: 0, Nenatoceno: 0\r\n");
}

TEST(DriveEndToEnd, UpRaisesTheSpeedOneStep) {
    SimRun run;
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 6, 3000));
    const std::size_t before = run.bytes().size();
    typeKeys(run.session, kUp);
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1, Nenatoceno: 0\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, before + 30, 3000));
    const std::vector<unsigned> bytes = run.bytes();
    // The stream goes on frame by frame: rest frames, then A1 40 E1 frames.
    std::size_t at = 0;
    while (at + 3 <= bytes.size() && bytes[at] == 0x80) {
        expectFrames(std::vector<unsigned>(bytes.begin() + at, bytes.begin() + at + 3), 0,
                     {0x80, 0x40, 0xC0});
        at += 3;
    }
    std::vector<unsigned> rest(bytes.begin() + at, bytes.end());
    rest.resize(rest.size() - rest.size() % 3);
    ASSERT_GE(rest.size(), 9u);
    expectFrames(rest, 0, {0xA1, 0x40, 0xE1});
    EXPECT_EQ(screen(run.session), " Vpred: 1, Nenatoceno: 0\r\n");
}

// The first frame after the open is the rest frame; the keys follow it.
TEST(DriveEndToEnd, KeysTypedAtThePromptApplyRightAfterTheFirstFrame) {
    SimRun run({"--attach-after", "400"});
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000));
    typeKeys(run.session, kUp + kUp + kRight);
    readFor(run.session, 50);
    EXPECT_TRUE(onlyThePrompt(run.session, kPrompt)) << "nothing echoed, nothing applied yet";
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 2, Vpravo: 1\r\n", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 12, 3000));
    std::vector<unsigned> bytes = run.bytes();
    bytes.resize(bytes.size() - bytes.size() % 3);
    expectFrames({bytes.begin(), bytes.begin() + 3}, 0, {0x80, 0x40, 0xC0});
    expectFrames(bytes, 3, {0xA2, 0x51, 0xF3});
}

TEST(DriveEndToEnd, QTypedAtThePromptEndsRightAfterTheOpen) {
    SimRun run({"--attach-after", "300"});
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000));
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 0);
    EXPECT_EQ(screen(run.session), "Close\r\n");
    EXPECT_NE(run.session.output.find(" Stuj: 0, Nenatoceno: 0"), std::string::npos);
    EXPECT_EQ(run.bytes(), (std::vector<unsigned>{0x80, 0x40, 0xC0, 0x80, 0x40, 0xC0}))
        << "only the rest frame, first and last";
    const std::vector<TraceRecord> trace = run.entries();
    EXPECT_EQ(trace.back().kind, TraceKind::Close);
}

// The way out after q and Q: cleared screen with "Close", the rest frame last
// on the line, one close after the last byte, exit status 0.
void expectOrderlyEnd(SimRun& run) {
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 0);
    EXPECT_EQ(screen(run.session), "Close\r\n");
    const std::vector<TraceRecord> trace = run.entries();
    EXPECT_EQ(countKind(trace, TraceKind::Close), 1u);
    ASSERT_EQ(trace.back().kind, TraceKind::Close);
    const std::vector<unsigned> bytes = run.bytes();
    ASSERT_GE(bytes.size(), 6u);
    expectFrames(std::vector<unsigned>(bytes.end() - 3, bytes.end()), 0, {0x80, 0x40, 0xC0});
    EXPECT_EQ(bytes.size() % 3, 0u) << "no frame cut short";
    const TraceRecord& lastWrite = trace[trace.size() - 2];
    EXPECT_EQ(lastWrite.kind, TraceKind::Write);
    EXPECT_GE(trace.back().t, lastWrite.t);
}

TEST(DriveEndToEnd, QuitWithQLeavesTheVehicleAtRest) {
    SimRun run;
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
    typeKeys(run.session, kUp);
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1", 3000));
    const std::size_t before = run.bytes().size();
    ASSERT_TRUE(waitForBytes(run.trace, before + 6, 3000));
    typeKeys(run.session, "q");
    expectOrderlyEnd(run);
    EXPECT_EQ(run.session.output.find("STOP"), std::string::npos);
}

TEST(DriveEndToEnd, PgDnEndsExactlyAsCapitalQDoes) {
    for (const std::string& key : {std::string("Q"), kPgDn}) {
        SimRun run;
        ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
        typeKeys(run.session, kUp);
        ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1", 3000));
        ASSERT_TRUE(waitForBytes(run.trace, 6, 3000));
        typeKeys(run.session, key);
        expectOrderlyEnd(run);
        EXPECT_NE(run.session.output.find("STOP\r\n"), std::string::npos);
        EXPECT_LT(run.session.output.find("STOP"), run.session.output.rfind("Close"));
    }
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
        {{"--attach-after", "-5"},
         "--attach-after -5: must be a whole number from 0 to 2147483647"},
        {{"--rate-error", "9999999"},
         "--rate-error 9999999: must be a whole number from -100000 to 100000"},
        {{"--replug-after", "2500"}, "--replug-after 2500: needs --unplug-after"},
        {{"--replug-after", "100", "--unplug-after", "200"},
         "--replug-after 100: must not be before --unplug-after 200"},
    };
    for (const Case& c : cases) {
        std::vector<std::string> argv = {kSim};
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
}

} // namespace
