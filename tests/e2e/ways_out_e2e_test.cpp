// Every way out of rcdrive-sim leaves the vehicle at rest and the terminal as
// it was; bad input and device faults do not break it.
#include "link/wire_format.h"
#include "testkit/fake_sysfs.h"
#include "testkit/process_cpu.h"
#include "testkit/pty_session.h"
#include "testkit/sim_run.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>

namespace {

const std::string kSim = RCDRIVE_SIM_PATH;
const std::string kOnFakeTree = RCDRIVE_ON_FAKE_TREE_PATH;
const std::string kPrompt = "Pripojte vysilac na USB";

// Every three bytes from the start form a valid frame.
void expectValidFrames(const std::vector<unsigned>& bytes) {
    for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
        ASSERT_TRUE(isValidFrame(bytes[i], bytes[i + 1], bytes[i + 2])) << "frame at byte " << i;
    }
}

// The line after any way out while driving: the rest frame last, nothing
// torn, one close after it.
void expectRestFrameLastAndOneClose(const std::vector<TraceRecord>& trace) {
    const std::vector<unsigned> bytes = acceptedBytes(trace);
    EXPECT_EQ(bytes.size() % 3, 0u);
    expectValidFrames(bytes);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(std::vector<unsigned>(bytes.end() - 3, bytes.end()),
              (std::vector<unsigned>{0x80, 0x40, 0xC0}));
    std::size_t closes = 0;
    for (const TraceRecord& record : trace) {
        closes += record.kind == TraceKind::Close;
    }
    EXPECT_EQ(closes, 1u);
    EXPECT_EQ(trace.back().kind, TraceKind::Close);
}

// ... and the terminal as it was.
void expectLeftAtRest(const SimRun& run) {
    expectRestFrameLastAndOneClose(run.entries());
    EXPECT_TRUE(sameTermios(currentTermios(run.session), run.session.initialTermios));
}

void startDriving(SimRun& run) {
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
    typeKeys(run.session, "\x1b[A\x1b[A\x1b[D");
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 2, Vlevo: 1", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 12, 3000));
}

// The share of one core the process used while `wait` ran; below 0 if /proc
// could not tell.
template <typename Wait> double coreShareDuring(pid_t pid, Wait wait) {
    const CpuSample before = sampleCpu(pid);
    const std::int64_t start = nowNs();
    wait();
    const std::int64_t used = cpuBetween(before, sampleCpu(pid));
    return used < 0 ? -1.0 : static_cast<double>(used) / static_cast<double>(nowNs() - start);
}

TEST(WaysOut, QuitKeysRestoreTheTerminalExactly) {
    for (const std::string& key : {std::string("q"), std::string("Q"), std::string("\x1b[6~")}) {
        SimRun run;
        startDriving(run);
        typeKeys(run.session, key);
        ASSERT_TRUE(waitForExit(run.session, 3000));
        EXPECT_TRUE(WIFEXITED(run.session.exitStatus));
        EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 0);
        expectLeftAtRest(run);
    }
}

TEST(WaysOut, CtrlCWhileDrivingGoesThroughTheShutDown) {
    SimRun run;
    startDriving(run);
    const std::int64_t pressed = nowNs();
    typeKeys(run.session, "\x03");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_LT(nowNs() - pressed, 500 * 1000000LL);
    ASSERT_TRUE(WIFEXITED(run.session.exitStatus));
    EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 130);
    EXPECT_EQ(screen(run.session), "Close\r\n");
    expectLeftAtRest(run);
}

// Every signal whose default action would end the process takes the same
// way out, with 128 + the signal.
TEST(WaysOut, EveryEndingSignalGoesThroughTheShutDown) {
    for (int signal : {SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF,
                       SIGXCPU, SIGXFSZ}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, signal);
        ASSERT_TRUE(waitForExit(run.session, 3000));
        ASSERT_TRUE(WIFEXITED(run.session.exitStatus)) << signal;
        EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 128 + signal);
        expectLeftAtRest(run);
    }
}

// Stopped from outside, by any of the three signals and whatever the parent:
// the vehicle at rest and the terminal as it was while stopped; continued,
// the keyboard is taken again and driving goes on from rest.
TEST(WaysOut, StoppedAndContinuedLeavesTheVehicleAtRestMeanwhile) {
    for (int signal : {SIGTSTP, SIGTTIN, SIGTTOU}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, signal);
        int status = 0;
        for (int waited = 0;
             waited < 3000 && waitpid(run.session.pid, &status, WUNTRACED | WNOHANG) == 0;
             waited += 5) {
            usleep(5000);
        }
        ASSERT_TRUE(WIFSTOPPED(status)) << "not stopped by " << signal;
        const std::vector<TraceRecord> stopped = run.entries();
        const std::vector<unsigned> bytes = acceptedBytes(stopped);
        EXPECT_EQ(bytes.size() % 3, 0u);
        EXPECT_EQ(std::vector<unsigned>(bytes.end() - 3, bytes.end()),
                  (std::vector<unsigned>{0x80, 0x40, 0xC0}));
        EXPECT_NE(stopped.back().kind, TraceKind::Close) << "the transmitter stays open";
        EXPECT_TRUE(sameTermios(currentTermios(run.session), run.session.initialTermios));

        const std::size_t before = run.session.output.size();
        kill(run.session.pid, SIGCONT);
        ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0", 3000, before));
        ASSERT_TRUE(waitForBytes(run.trace, bytes.size() + 9, 3000)) << "streaming again";
        EXPECT_FALSE(sameTermios(currentTermios(run.session), run.session.initialTermios));
        typeKeys(run.session, "\x1b[A"); // a raw keyboard: no Enter needed
        ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1, Nenatoceno: 0", 3000, before));
        typeKeys(run.session, "q");
        ASSERT_TRUE(waitForExit(run.session, 3000));
        EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 0);
        expectLeftAtRest(run);
    }
}

TEST(WaysOut, CtrlCAtThePromptEndsAtOnceWithNothingToClose) {
    SimRun run({"--attach-after", "60000"});
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 3000));
    readFor(run.session, 100);
    const std::int64_t pressed = nowNs();
    typeKeys(run.session, "\x03");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_LT(nowNs() - pressed, 300 * 1000000LL);
    EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 130);
    EXPECT_TRUE(sameTermios(currentTermios(run.session), run.session.initialTermios));
    for (const TraceRecord& record : run.entries()) {
        EXPECT_EQ(record.kind, TraceKind::Open);
        EXPECT_NE(record.status, 0u);
    }
}

TEST(WaysOut, ACrashRestoresTheTerminalAndStillEndsByTheSignal) {
    for (int signal : {SIGSEGV, SIGABRT}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, signal);
        ASSERT_TRUE(waitForExit(run.session, 3000));
        ASSERT_TRUE(WIFSIGNALED(run.session.exitStatus)) << signal;
        EXPECT_EQ(WTERMSIG(run.session.exitStatus), signal);
        EXPECT_TRUE(sameTermios(currentTermios(run.session), run.session.initialTermios));
    }
}

// Stops the run with the signal (none: it ends by itself): it ends within
// half a second with 128 + the signal, the rest frame last and one close
// (unless the trace is a FIFO, which keeps no record to look at).
void expectStopsPromptly(DetachedSimRun& run, int signal, int status = SIGTERM,
                         bool traceKept = true) {
    const std::int64_t asked = nowNs();
    if (signal != 0) {
        kill(run.pid, signal);
    }
    ASSERT_TRUE(run.waitForExit(3000));
    EXPECT_LT(nowNs() - asked, 500 * 1000000LL);
    EXPECT_EQ(run.exitCode(), 128 + status);
    if (traceKept) {
        expectRestFrameLastAndOneClose(run.entries());
    }
}

// A pipe for a program's standard input or output; the test's own ends are
// closed in the program.
struct Pipe {
    int read = -1;
    int write = -1;
    Pipe() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
        read = fds[0];
        write = fds[1];
    }
    ~Pipe() {
        closeRead();
        closeWrite();
    }
    void closeRead() {
        if (read >= 0) {
            close(read);
            read = -1;
        }
    }
    void closeWrite() {
        if (write >= 0) {
            close(write);
            write = -1;
        }
    }
};

TEST(WaysOut, AClosedOutputDoesNotStopTheShutDown) {
    // Standard output a pipe whose reader is gone: every write fails with EPIPE.
    Pipe in;
    Pipe out;
    DetachedSimRun run(in.read, out.write);
    out.closeRead();
    ASSERT_TRUE(waitForBytes(run.trace, 9, 3000));
    ASSERT_EQ(write(in.write, "\x1b[Aq", 4), 4);
    ASSERT_TRUE(run.waitForExit(3000));
    EXPECT_EQ(run.exitCode(), 0) << "killed instead of shutting down";
    expectRestFrameLastAndOneClose(run.entries());
}

// Output that nobody reads (a pipe that is full, as from a frozen terminal)
// holds neither the stream nor a request to stop.
TEST(WaysOut, OutputNobodyReadsHoldsNeitherTheStreamNorAStop) {
    Pipe in;
    Pipe out;
    DetachedSimRun run(in.read, out.write);
    std::string keys;
    for (int i = 0; i < 4000; ++i) {
        keys += "MK"; // forward, then left: every key redraws the status line
    }
    ASSERT_EQ(write(in.write, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    ASSERT_TRUE(waitForBytes(run.trace, 60, 3000));
    const std::size_t before = run.bytes().size();
    ASSERT_TRUE(waitForBytes(run.trace, before + 30, 1000)) << "frames go on";
    expectStopsPromptly(run, SIGTERM);
    // The output the program shares with its parent is as it found it.
    EXPECT_EQ(fcntl(out.write, F_GETFL) & O_NONBLOCK, 0);
}

// A terminal that is standard input but not the controlling terminal hangs
// up with no SIGHUP: the operator has gone all the same.
TEST(WaysOut, ATerminalThatHangsUpQuietlyEndsAsSigHupDoes) {
    int master = -1;
    int slave = -1;
    ASSERT_TRUE(openLinePty(master, slave));
    DetachedSimRun run(slave, slave);
    close(slave);
    ASSERT_TRUE(waitForBytes(run.trace, 9, 3000));
    close(master);
    expectStopsPromptly(run, 0, SIGHUP);
}

// Closed standard streams lend their numbers to nothing: no screen text in
// the trace, and no key read from it.
TEST(WaysOut, ClosedStandardStreamsLendTheirNumbersToNothing) {
    for (const char* in : {"/dev/null", ""}) {
        DetachedSimRun run(in, "");
        ASSERT_TRUE(waitForBytes(run.trace, 9, 3000));
        expectStopsPromptly(run, SIGTERM);
        std::ifstream file(run.trace);
        const std::string text((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        for (const char* screenText : {"\x1b", "Pripojte", "Stuj", "Close"}) {
            EXPECT_EQ(text.find(screenText), std::string::npos) << "screen text in the trace";
        }
    }
}

// A trace that nobody reads (a FIFO whose reader has stopped reading) holds
// up neither the stream nor a request to stop.
TEST(WaysOut, ATraceNobodyReadsHoldsNeitherTheStreamNorAStop) {
    const std::string fifo = tempPath("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    fcntl(reader, F_SETPIPE_SZ, 4096); // full within a couple of seconds
    DetachedSimRun run("/dev/null", "/dev/null", {"--trace", fifo});
    usleep(2500000);
    expectStopsPromptly(run, SIGTERM, SIGTERM, false);
    close(reader);
    unlink(fifo.c_str());
}

// Input with no end, faster than anyone types: the line stays busy.
TEST(BadInput, EndlessInputLeavesTheLineBusy) {
    DetachedSimRun run("/dev/zero", "/dev/null");
    ASSERT_TRUE(waitForBytes(run.trace, 3, 3000));
    const std::size_t before = run.bytes().size();
    usleep(2000000);
    const std::size_t sent = run.bytes().size() - before;
    // 2 s of line is 218 bytes; at least 95 % of it, with room for a slow start.
    EXPECT_GE(sent, 200u);
    expectStopsPromptly(run, SIGTERM);
}

TEST(BadInput, NoKeyboardAtAllStreamsQuietlyUntilStopped) {
    DetachedSimRun run("/dev/null", "/dev/null");
    ASSERT_TRUE(waitForBytes(run.trace, 15, 3000));
    const double cpu = coreShareDuring(run.pid, [] { usleep(1500000); });
    EXPECT_GE(cpu, 0.0);
    EXPECT_LE(cpu, 0.05) << "the end of input is no busy stream of keys";
    expectStopsPromptly(run, SIGTERM);
    EXPECT_GE(run.bytes().size(), 150u) << "frames went on streaming";
}

TEST(BadInput, AStormOfRandomBytesLeavesEveryFrameWhole) {
    SimRun run;
    startDriving(run);
    std::mt19937 random(4242);
    std::string storm;
    while (storm.size() < 20000) {
        const char byte = static_cast<char>(random() & 0xFF);
        // Leave out what would end the program: Ctrl+C, q, Q, and the last
        // bytes of PgDn's sequences.
        if (byte == 0x03 || byte == 'q' || byte == 'Q' || byte == '~' || byte == '$') {
            continue;
        }
        storm += byte;
    }
    for (std::size_t at = 0; at < storm.size(); at += 500) {
        typeKeys(run.session, storm.substr(at, 500));
        readFor(run.session, 10);
    }
    const std::size_t before = run.bytes().size();
    ASSERT_TRUE(waitForBytes(run.trace, before + 30, 3000)) << "the stream goes on";
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    ASSERT_TRUE(WIFEXITED(run.session.exitStatus));
    EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 0);
    expectLeftAtRest(run);
}

// Forward 3, then the keys; the screen must end on `status`.
void afterForwardThree(const std::vector<std::pair<std::string, int>>& keysThenPauseMs,
                       const std::string& status, int withinMs) {
    SimRun run;
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
    typeKeys(run.session, "\x1b[A\x1b[A\x1b[A");
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 3, Nenatoceno: 0", 3000));
    for (const auto& [keys, pauseMs] : keysThenPauseMs) {
        typeKeys(run.session, keys);
        readFor(run.session, pauseMs);
    }
    const std::size_t from = run.session.output.size();
    EXPECT_TRUE(waitForOutput(run.session, status, withinMs, from) ||
                screen(run.session) == status + "\r\n")
        << "screen: " << testing::PrintToString(screen(run.session));
}

// However long a sequence runs, the keys after it are not held up: an Esc
// after 20,000 bytes of one acts about when its own 30 ms are up.
TEST(BadInput, AHugeSequenceDoesNotHoldUpTheKeysAfterIt) {
    afterForwardThree({{"\x1b[" + std::string(20000, '1') + "A\x1b", 0}}, " Stuj: 0, Nenatoceno: 0",
                      1000);
}

// Esc, then an arrow 40 ms later: two keys, rest and then forward 1, not one
// Alt+arrow that does nothing.
TEST(BadInput, EscAndAnArrowSoonAfterAreTwoKeys) {
    for (int gapMs : {40, 60}) {
        afterForwardThree({{"\x1b", gapMs}, {"\x1b[A", 0}}, " Vpred: 1, Nenatoceno: 0", 1000);
    }
}

// Unplugged while driving: back to the prompt without spinning, and when the
// transmitter is back, driving again from rest; each open has its close.
TEST(DeviceFaults, UnpluggedGoesBackToThePromptAndDrivesFromRestOnceBack) {
    SimRun run({"--unplug-after", "1000", "--replug-after", "2500"});
    startDriving(run);
    const std::size_t driving = run.session.output.size();
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000, driving));
    const double cpu = coreShareDuring(run.session.pid, [&] { readFor(run.session, 1000); });
    EXPECT_GE(cpu, 0.0);
    EXPECT_LE(cpu, 0.05) << "share of one core while the transmitter is away";
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0", 3000, driving));
    readFor(run.session, 100); // a few frames of rest
    typeKeys(run.session, "\x1b[A");
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1, Nenatoceno: 0", 2000, driving));
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 0);

    // The whole story in the trace: frames, a few failed writes, the close,
    // failed opens, the open and the line settings, frames from rest again.
    const std::vector<TraceRecord> trace = run.entries();
    std::vector<std::string> story; // runs of the same step, "!" for a failure
    std::size_t failedWrites = 0;
    std::size_t reopened = 0;
    for (std::size_t i = 0; i < trace.size(); ++i) {
        const std::string step =
            std::string(traceKindName(trace[i].kind)) + (trace[i].status == 0 ? "" : "!");
        if (story.empty() || story.back() != step) {
            story.push_back(step);
        }
        failedWrites += step == "write!";
        reopened = step == "open" ? i : reopened;
    }
    EXPECT_EQ(story, (std::vector<std::string>{"open", "baud", "data", "write", "write!", "close",
                                               "open!", "open", "baud", "data", "write", "close"}));
    EXPECT_LE(failedWrites, 3u) << "given up after a few failed writes in a row";
    const std::vector<TraceRecord> afterReopen(trace.begin() + reopened, trace.end());
    const std::vector<unsigned> bytes = acceptedBytes(afterReopen);
    ASSERT_GE(bytes.size(), 6u);
    EXPECT_EQ(std::vector<unsigned>(bytes.begin(), bytes.begin() + 3),
              (std::vector<unsigned>{0x80, 0x40, 0xC0}));
    expectRestFrameLastAndOneClose(afterReopen);
}

TEST(DeviceFaults, AttachedOnlyAfterALongWaitStillGoesOn) {
    SimRun run({"--attach-after", "4000"});
    readFor(run.session, 3500);
    EXPECT_TRUE(onlyPrompts(run.session, kPrompt));
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 9, 3000));
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 0);
}

// Reads what the pseudo-terminal standing in for the transmitter received.
void drain(int master, std::vector<unsigned>& received, int ms) {
    const std::int64_t end = nowNs() + ms * 1000000LL;
    while (nowNs() < end) {
        pollfd fd = {master, POLLIN, 0};
        if (poll(&fd, 1, 10) > 0) {
            unsigned char buffer[256];
            const ssize_t count = read(master, buffer, sizeof buffer);
            for (ssize_t i = 0; i < count; ++i) {
                received.push_back(buffer[i]);
            }
        }
    }
}

// A port that does not take 8E1 (a pseudo-terminal has no parity) is no
// transmitter: the program keeps prompting and sends nothing.
TEST(DeviceFaults, APortThatRefusesTheLineKeepsThePrompt) {
    FakeTree tree = makeFakeTree();
    addUsbSerial(tree, "ttyUSB0", "dimsal\n", 2);
    int master = -1, slave = -1;
    ASSERT_TRUE(openLinePty(master, slave));
    ASSERT_EQ(symlink(ptsname(master), (tree.dev + "/ttyUSB0").c_str()), 0);
    close(slave);

    std::vector<unsigned> line;
    PtySession refused = startInPty({kOnFakeTree, tree.sys, tree.dev});
    ASSERT_TRUE(waitForOutput(refused, kPrompt, 3000));
    drain(master, line, 300);
    readFor(refused, 10);
    EXPECT_TRUE(onlyPrompts(refused, kPrompt));
    EXPECT_TRUE(line.empty());
    typeKeys(refused, "\x03");
    ASSERT_TRUE(waitForExit(refused, 3000));
    endSession(refused);
    close(master);
    removeFakeTree(tree);
}

} // namespace
