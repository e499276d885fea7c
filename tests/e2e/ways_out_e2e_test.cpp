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
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/file.h>
#include <sys/wait.h>

namespace {

const std::string kPrompt = "Pripojte vysilac na USB";
const std::string kPgDn = "\x1b[6~";
const std::vector<unsigned> kRestFrame = {0x80, 0x40, 0xC0};

// The line after any way out while driving: whole valid frames, the rest
// frame last, and one close, which comes only once that frame has left.
void expectEndedAtRest(const std::vector<TraceRecord>& trace) {
    const std::vector<unsigned> bytes = acceptedBytes(trace);
    EXPECT_EQ(bytes.size() % 3, 0u);
    for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
        ASSERT_TRUE(isValidFrame(bytes[i], bytes[i + 1], bytes[i + 2])) << "frame at byte " << i;
    }
    EXPECT_EQ(lastFrame(bytes), kRestFrame);
    const auto isClose = [](const TraceRecord& record) { return record.kind == TraceKind::Close; };
    EXPECT_EQ(std::count_if(trace.begin(), trace.end(), isClose), 1);
    ASSERT_TRUE(isClose(trace.back()));
    const auto lastByte = std::find_if(trace.rbegin(), trace.rend(), isAcceptedWrite);
    ASSERT_NE(lastByte, trace.rend());
    EXPECT_GE(trace.back().t - lastByte->t, kNominalByteNs) << "closed with the last byte unsent";
}

// ... and the terminal as it was.
void expectLeftAtRest(const SimRun& run) {
    expectEndedAtRest(run.entries());
    EXPECT_TRUE(terminalAsAtStart(run.session));
}

// Stops the run with the signal (0: it ends by itself or by a key already
// typed): it ends within half a second with the exit code, at rest.
void expectEndsPromptly(SimRun& run, int signal, int code) {
    const std::int64_t asked = nowNs();
    if (signal != 0) {
        kill(run.session.pid, signal);
    }
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_LT(nowNs() - asked, 500 * 1000000LL);
    EXPECT_EQ(exitCode(run.session), code);
    expectEndedAtRest(run.entries());
}

// Ends the drive with q, as the operator would: exit status 0, at rest.
void quitAndExpectLeftAtRest(SimRun& run) {
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 0);
    expectLeftAtRest(run);
}

void startDriving(SimRun& run) {
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
    typeKeys(run.session, "\x1b[A\x1b[A\x1b[D");
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 2, Vlevo: 1", 3000));
    ASSERT_TRUE(waitForBytes(run.trace, 12, 3000));
}

// Waits until the program is stopped; false if it is not within 3 s.
bool waitForStop(const PtySession& session) {
    int status = 0;
    for (int waited = 0; waited < 3000 && waitpid(session.pid, &status, WUNTRACED | WNOHANG) == 0;
         waited += 5) {
        usleep(5000);
    }
    return WIFSTOPPED(status);
}

// Only failed attempts to open the transmitter, if any.
void expectNothingOpened(const std::vector<TraceRecord>& trace) {
    for (const TraceRecord& record : trace) {
        EXPECT_EQ(record.kind, TraceKind::Open);
        EXPECT_NE(record.status, 0u) << "opened";
    }
}

// The process uses at most 5 % of a core while `wait` runs: it sleeps.
template <typename Wait> void expectQuietWhile(pid_t pid, Wait wait, const char* what) {
    const CpuSample before = sampleCpu(pid);
    const std::int64_t start = nowNs();
    wait();
    const std::int64_t used = cpuBetween(before, sampleCpu(pid));
    ASSERT_GE(used, 0) << "no CPU time in /proc";
    EXPECT_LE(static_cast<double>(used) / static_cast<double>(nowNs() - start), 0.05)
        << "share of one core " << what;
}

// Signals whose default action would end the process (the real-time ones
// are numbered at run time).
std::vector<int> endingSignals() {
    return {SIGTERM, SIGHUP,  SIGQUIT, SIGUSR1, SIGUSR2,  SIGALRM, SIGVTALRM,
            SIGPROF, SIGXCPU, SIGXFSZ, SIGIO,   SIGRTMIN, SIGRTMAX};
}

// Whether the process has the signal blocked now (/proc, Linux).
bool holds(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigBlk:", 0) == 0) {
            return (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1;
        }
    }
    return false;
}

// The quit keys, Ctrl+C (also on a terminal that is not the program's
// controlling terminal, setsid, where the terminal's Ctrl+C would signal
// somebody else) and every ending signal end the drive at once, at rest:
// the quit keys with 0, Q and PgDn writing STOP first, the others with 128 +
// the signal. A crash still ends by its signal, but restores the terminal.
TEST(WaysOut, EveryQuitKeyAndEndingSignalEndsTheDriveAtRest) {
    struct Case {
        std::string key;
        int signal;
        std::vector<std::string> wrapper;
    };
    std::vector<Case> cases = {{"q", 0, {}},
                               {"Q", 0, {}},
                               {kPgDn, 0, {}},
                               {"\x03", SIGINT, {}},
                               {"\x03", SIGINT, {"/usr/bin/setsid", "-w"}}};
    for (int signal : endingSignals()) {
        cases.push_back({"", signal, {}});
    }
    for (const Case& c : cases) {
        SimRun run({}, c.wrapper);
        startDriving(run);
        const std::size_t driving = run.session.output.size();
        typeKeys(run.session, c.key);
        expectEndsPromptly(run, c.key.empty() ? c.signal : 0, c.signal ? 128 + c.signal : 0);
        EXPECT_EQ(screen(run.session), "Close\r\n") << c.signal;
        const bool stop = c.key == "Q" || c.key == kPgDn;
        EXPECT_EQ(run.session.output.find("STOP\r\n", driving) != std::string::npos, stop);
        EXPECT_TRUE(terminalAsAtStart(run.session));
    }
    for (int signal : {SIGSEGV, SIGABRT}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, signal);
        ASSERT_TRUE(waitForExit(run.session, 3000));
        ASSERT_TRUE(WIFSIGNALED(run.session.exitStatus)) << signal;
        EXPECT_EQ(WTERMSIG(run.session.exitStatus), signal);
        EXPECT_TRUE(terminalAsAtStart(run.session));
    }
}

// Stopped from outside, by any of the three signals and whatever the parent:
// the vehicle at rest and the terminal as it was while stopped. SIGSTOP
// cannot be caught, so nothing is done before it. Continued, the keyboard is
// taken again and driving goes on from rest.
TEST(WaysOut, StoppedAndContinuedLeavesTheVehicleAtRestMeanwhile) {
    for (int signal : {SIGTSTP, SIGTTIN, SIGTTOU, SIGSTOP}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, signal);
        ASSERT_TRUE(waitForStop(run.session)) << "not stopped by " << signal;
        const std::vector<TraceRecord> stopped = run.entries();
        const std::size_t sent = acceptedBytes(stopped).size();
        EXPECT_NE(stopped.back().kind, TraceKind::Close) << "the transmitter stays open";
        if (signal != SIGSTOP) {
            EXPECT_EQ(sent % 3, 0u);
            EXPECT_EQ(lastFrame(acceptedBytes(stopped)), kRestFrame);
            EXPECT_TRUE(terminalAsAtStart(run.session));
            // A request to end that comes as it stops waits, held, and wins.
            for (int ending : endingSignals()) {
                EXPECT_TRUE(holds(run.session.pid, ending)) << ending << " not held while stopped";
            }
        }
        const std::size_t before = run.session.output.size();
        kill(run.session.pid, SIGCONT);
        ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0, Nenatoceno: 0", 3000, before));
        ASSERT_TRUE(waitForBytes(run.trace, sent + 12, 3000)) << "streaming again";
        EXPECT_EQ(lastFrame(run.bytes()), kRestFrame);
        EXPECT_FALSE(terminalAsAtStart(run.session));
        typeKeys(run.session, "\x1b[B\x1b[B"); // a raw keyboard: no Enter needed
        ASSERT_TRUE(waitForOutput(run.session, " Vzad: 2, Nenatoceno: 0", 3000, before));
        quitAndExpectLeftAtRest(run);
    }
}

void closeEnd(int& fd) {
    close(fd);
    fd = -1;
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
        closeEnd(read);
        closeEnd(write);
    }
};

// Output that fails for good (a pipe whose reader is gone, a full disk) is
// given up: it is not waited for, and it stops neither the stream nor the
// shut-down.
TEST(WaysOut, AnOutputThatFailsForGoodIsGivenUp) {
    for (const bool full : {false, true}) {
        Pipe in;
        Pipe out;
        const int devFull = open("/dev/full", O_WRONLY | O_CLOEXEC);
        SimRun run(in.read, full ? devFull : out.write);
        close(devFull);
        closeEnd(out.read);
        ASSERT_TRUE(waitForBytes(run.trace, 9, 3000));
        ASSERT_EQ(write(in.write, "\x1b[A", 3), 3);
        expectQuietWhile(
            run.session.pid, [] { usleep(500000); }, full ? "/dev/full" : "EPIPE");
        ASSERT_EQ(write(in.write, "q", 1), 1);
        ASSERT_TRUE(waitForExit(run.session, 3000));
        EXPECT_EQ(exitCode(run.session), 0) << "killed instead of shutting down";
        expectEndedAtRest(run.entries());
    }
}

// Output that nobody reads (a pipe that is full, as from a frozen terminal)
// holds neither the stream nor a request to stop.
TEST(WaysOut, OutputNobodyReadsHoldsNeitherTheStreamNorAStop) {
    Pipe in;
    Pipe out;
    SimRun run(in.read, out.write);
    std::string keys;
    for (int i = 0; i < 4000; ++i) {
        keys += "MK"; // forward, then left: every key redraws the status line
    }
    ASSERT_EQ(write(in.write, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
    ASSERT_TRUE(waitForBytes(run.trace, 60, 3000));
    ASSERT_TRUE(waitForBytes(run.trace, run.bytes().size() + 30, 1000)) << "frames go on";
    expectEndsPromptly(run, SIGTERM, 128 + SIGTERM);
    // The output the program shares with its parent is as it found it.
    EXPECT_EQ(fcntl(out.write, F_GETFL) & O_NONBLOCK, 0);
}

// A terminal that is standard input but not the controlling terminal hangs
// up with no SIGHUP: the operator has gone all the same.
TEST(WaysOut, ATerminalThatHangsUpQuietlyEndsAsSigHupDoes) {
    int master = -1;
    int slave = -1;
    ASSERT_TRUE(openLinePty(master, slave));
    SimRun run(slave, slave);
    close(slave);
    ASSERT_TRUE(waitForBytes(run.trace, 9, 3000));
    close(master);
    expectEndsPromptly(run, 0, 128 + SIGHUP);
}

// Input that ends (a file, a closed stream, a pipe whose writer is gone)
// can never stop the vehicle again: the drive ends as q ends it, after the
// first frame, which is the rest frame whatever keys came first. Closed
// standard streams lend their numbers to nothing: no screen text in the trace.
TEST(WaysOut, InputThatEndsEndsTheDriveAsQDoes) {
    for (const std::string input : {"/dev/null", "closed", "a pipe"}) {
        Pipe typed;
        ASSERT_EQ(write(typed.write, "HH", 2), 2);
        closeEnd(typed.write);
        const int devNull = open("/dev/null", O_RDONLY | O_CLOEXEC);
        SimRun run(input == "a pipe" ? typed.read : input == "closed" ? -1 : devNull, -1);
        close(devNull);
        ASSERT_TRUE(waitForExit(run.session, 3000)) << input;
        EXPECT_EQ(exitCode(run.session), 0);
        const std::vector<unsigned> bytes = run.bytes();
        ASSERT_GE(bytes.size(), 3u);
        EXPECT_EQ(std::vector<unsigned>(bytes.begin(), bytes.begin() + 3), kRestFrame);
        expectEndedAtRest(run.entries());
        std::ifstream file(run.trace);
        const std::string text((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        for (const char* screenText : {"\x1b", "Pripojte", "Stuj", "Close"}) {
            EXPECT_EQ(text.find(screenText), std::string::npos) << "screen text in the trace";
        }
    }
}

// A background job on a terminal set to stop background writers (stty
// tostop) never touches the terminal, so it is never stopped where it could
// not be asked to end: it streams until it is asked.
TEST(Circumstances, ABackgroundJobWithTostopEndsWhenAsked) {
    SimRun run({}, {"/bin/sh", "-c", "set -m; stty tostop; \"$0\" \"$@\" & echo job $!; wait $!"});
    ASSERT_TRUE(waitForOutput(run.session, "\n", 3000));
    const pid_t job =
        std::atoi(run.session.output.substr(run.session.output.find("job ") + 4).c_str());
    ASSERT_GT(job, 0);
    ASSERT_TRUE(waitForBytes(run.trace, 30, 3000));
    kill(job, SIGTERM);
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 128 + SIGTERM);
    expectEndedAtRest(run.entries());
    EXPECT_EQ(run.session.output.find(kPrompt), std::string::npos) << "wrote to the terminal";
}

// Another reader of the same terminal takes some of the keys; the program
// never waits for input it saw arrive, so the line never stalls.
TEST(Circumstances, ASecondReaderOfTheTerminalDoesNotStallTheLine) {
    SimRun run;
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
    const pid_t reader = fork();
    if (reader == 0) {
        const int fd = open(ptsname(run.session.master), O_RDONLY | O_NOCTTY);
        for (char byte = 0; read(fd, &byte, 1) > 0;) {
        }
        _exit(0);
    }
    const std::int64_t from = nowNs();
    for (int i = 0; i < 20; ++i) {
        typeKeys(run.session, i % 2 ? "K" : "M");
        readFor(run.session, 100);
    }
    kill(reader, SIGKILL);
    waitpid(reader, nullptr, 0);
    std::int64_t last = 0;
    std::int64_t longestGap = 0;
    for (const TraceRecord& record : run.entries()) {
        if (isAcceptedWrite(record) && record.t > from) {
            longestGap = std::max(longestGap, last == 0 ? 0 : record.t - last);
            last = record.t;
        }
    }
    EXPECT_LT(longestGap, 40 * 1000000LL) << "ns between bytes on the line";
}

// A request that comes in the moments around a stop: to end wins over the
// stop, a continue undoes it, and a request to end while stopped at the
// prompt opens nothing.
TEST(Circumstances, RequestsAroundAStopAreNotLost) {
    for (const int second : {SIGTERM, SIGCONT}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, SIGTSTP);
        usleep(10000);
        kill(run.session.pid, second);
        int status = 0;
        usleep(500000);
        const pid_t changed = waitpid(run.session.pid, &status, WUNTRACED | WNOHANG);
        EXPECT_FALSE(changed == run.session.pid && WIFSTOPPED(status))
            << "stopped after " << second;
        if (second == SIGCONT) {
            EXPECT_EQ(changed, 0) << "still running";
            typeKeys(run.session, "q");
            ASSERT_TRUE(waitForExit(run.session, 3000));
        } else {
            run.session.exitStatus = status;
            EXPECT_EQ(exitCode(run.session), 128 + SIGTERM);
        }
        expectEndedAtRest(run.entries());
    }
    SimRun prompt({"--attach-after", "300"});
    ASSERT_TRUE(waitForOutput(prompt.session, kPrompt, 3000));
    kill(prompt.session.pid, SIGTSTP);
    ASSERT_TRUE(waitForStop(prompt.session));
    kill(prompt.session.pid, SIGTERM);
    usleep(500000); // the transmitter is there by now
    kill(prompt.session.pid, SIGCONT);
    ASSERT_TRUE(waitForExit(prompt.session, 3000));
    EXPECT_EQ(exitCode(prompt.session), 128 + SIGTERM);
    expectNothingOpened(prompt.entries());
}

// Input with no end, faster than anyone types: the line stays busy.
TEST(BadInput, EndlessInputLeavesTheLineBusy) {
    const int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    const int devNull = open("/dev/null", O_WRONLY | O_CLOEXEC);
    SimRun run(zero, devNull);
    close(zero);
    close(devNull);
    ASSERT_TRUE(waitForBytes(run.trace, 3, 3000));
    const std::size_t before = run.bytes().size();
    usleep(2000000);
    // 2 s of line is 218 bytes; at least 95 % of it, with room for a slow start.
    EXPECT_GE(run.bytes().size() - before, 200u);
    expectEndsPromptly(run, SIGTERM, 128 + SIGTERM);
}

// With no keys and no output, it streams on, sleeping between bytes, until
// asked to stop; even by a signal that whoever started it had blocked.
TEST(BadInput, AKeyboardThatSendsNothingStreamsQuietlyUntilStopped) {
    sigset_t blocked;
    sigset_t previous;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigprocmask(SIG_BLOCK, &blocked, &previous);
    Pipe keyboard;
    SimRun run(keyboard.read, -1);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    ASSERT_TRUE(waitForBytes(run.trace, 15, 3000));
    expectQuietWhile(
        run.session.pid, [] { usleep(1500000); }, "waiting for keys");
    expectEndsPromptly(run, SIGTERM, 128 + SIGTERM);
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
    ASSERT_TRUE(waitForBytes(run.trace, run.bytes().size() + 30, 3000)) << "the stream goes on";
    quitAndExpectLeftAtRest(run);
}

// Forward 3, then the keys; the screen must end on `status`.
void afterForwardThree(const std::vector<std::pair<std::string, int>>& keysThenPauseMs,
                       const std::string& status) {
    SimRun run;
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000));
    typeKeys(run.session, "\x1b[A\x1b[A\x1b[A");
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 3, Nenatoceno: 0", 3000));
    for (const auto& [keys, pauseMs] : keysThenPauseMs) {
        typeKeys(run.session, keys);
        readFor(run.session, pauseMs);
    }
    const std::size_t from = run.session.output.size();
    EXPECT_TRUE(waitForOutput(run.session, status, 1000, from) ||
                screen(run.session) == status + "\r\n")
        << "screen: " << testing::PrintToString(screen(run.session));
}

// However long a sequence runs, the keys after it are not held up: an Esc
// after 20,000 bytes of one acts about when its own 30 ms are up.
TEST(BadInput, AHugeSequenceDoesNotHoldUpTheKeysAfterIt) {
    afterForwardThree({{"\x1b[" + std::string(20000, '1') + "A\x1b", 0}},
                      " Stuj: 0, Nenatoceno: 0");
}

// Esc, then an arrow 40 ms later: two keys, rest and then forward 1, not one
// Alt+arrow that does nothing.
TEST(BadInput, EscAndAnArrowSoonAfterAreTwoKeys) {
    for (int gapMs : {40, 60}) {
        afterForwardThree({{"\x1b", gapMs}, {"\x1b[A", 0}}, " Vpred: 1, Nenatoceno: 0");
    }
}

// Unplugged while driving: back to the prompt without spinning, and when the
// transmitter is back, driving again from rest. Keys typed blind at the
// prompt are dropped; each open has its close.
TEST(DeviceFaults, UnpluggedGoesBackToThePromptAndDrivesFromRestOnceBack) {
    SimRun run({"--unplug-after", "1000", "--replug-after", "2500"});
    startDriving(run);
    const std::size_t driving = run.session.output.size();
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000, driving));
    typeKeys(run.session, "\x1b[A\x1b[A\x1b[A\x1b[A");
    expectQuietWhile(
        run.session.pid, [&] { readFor(run.session, 1000); }, "while the transmitter is away");
    ASSERT_TRUE(waitForOutput(run.session, " Stuj: 0", 3000, driving));
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(exitCode(run.session), 0);
    EXPECT_EQ(run.session.output.find("Vpred", driving), std::string::npos) << "a blind key";

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
    expectEndedAtRest(std::vector<TraceRecord>(trace.begin() + reopened, trace.end()));
}

// A quit key typed at the prompt after a loss ends the program at once: the
// transmitter may never come back.
TEST(DeviceFaults, AQuitKeyAtThePromptAfterALossEndsAtOnce) {
    SimRun run({"--unplug-after", "1000"});
    startDriving(run);
    ASSERT_TRUE(waitForOutput(run.session, kPrompt, 2000, run.session.output.size()));
    const std::int64_t typed = nowNs();
    typeKeys(run.session, "Q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_LT(nowNs() - typed, 500 * 1000000LL);
    EXPECT_EQ(exitCode(run.session), 0);
}

// A port that is there but cannot be used is no transmitter: the program
// keeps prompting, sends nothing, and says under the prompt why, once. A
// port that does not take 8E1 (a pseudo-terminal has no parity), and one
// that another program holds.
TEST(DeviceFaults, APortThatCannotBeUsedKeepsThePromptAndSaysWhy) {
    for (const bool held : {false, true}) {
        FakeTree tree = makeFakeTree();
        addUsbSerial(tree, "ttyUSB0", "dimsal\n", 2);
        int master = -1, slave = -1;
        ASSERT_TRUE(openLinePty(master, slave));
        const std::string node = tree.dev + "/ttyUSB0";
        ASSERT_EQ(symlink(ptsname(master), node.c_str()), 0);
        if (held) {
            ASSERT_EQ(flock(slave, LOCK_EX), 0);
        }
        PtySession session = startInPty({RCDRIVE_ON_FAKE_TREE_PATH, tree.sys, tree.dev});
        readFor(session, 300);
        const std::string why = held ? "held by another program" : "refuses 1200 baud 8E1";
        EXPECT_EQ(session.output, "\x1b[H\x1b[2J" + kPrompt + "\x1b[H\x1b[2J" + kPrompt + "\r\n" +
                                      node + ": " + why + ", see rcdrive-monitor --list");
        pollfd line = {master, POLLIN, 0};
        EXPECT_EQ(poll(&line, 1, 0), 0) << "sent something";
        typeKeys(session, "\x03");
        ASSERT_TRUE(waitForExit(session, 3000));
        endSession(session);
        close(slave);
        close(master);
        removeFakeTree(tree);
    }
}

} // namespace
