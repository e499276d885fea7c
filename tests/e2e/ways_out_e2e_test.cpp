// Every way out of rcdrive-sim leaves the vehicle at rest and the terminal as
// it was; bad input and device faults do not break it.
#include "tests/e2e/process_cpu.h"
#include "tests/e2e/pty_session.h"
#include "tests/e2e/sim_run.h"
#include "tests/link/fake_sysfs.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/wait.h>

namespace {

const std::string kSim = RCDRIVE_SIM_PATH;
const std::string kOnFakeTree = RCDRIVE_ON_FAKE_TREE_PATH;
const std::string kPrompt = "Pripojte vysilac na USB";

bool validSpeed(unsigned code) {
    return code == 0x80 || (code >= 0xA1 && code <= 0xA9) || (code >= 0x91 && code <= 0x99);
}
bool validSteer(unsigned code) {
    return code == 0x40 || (code >= 0x51 && code <= 0x59) || (code >= 0x61 && code <= 0x69);
}

// Every three bytes from the start form a valid frame.
void expectValidFrames(const std::vector<unsigned>& bytes) {
    for (std::size_t i = 0; i + 3 <= bytes.size(); i += 3) {
        ASSERT_TRUE(validSpeed(bytes[i])) << "byte " << i;
        ASSERT_TRUE(validSteer(bytes[i + 1])) << "byte " << i + 1;
        ASSERT_EQ(bytes[i + 2], (bytes[i] + bytes[i + 1]) & 0xFF) << "byte " << i + 2;
    }
}

// The end after any way out while driving: the rest frame last on the line,
// nothing torn, one close after it, the terminal as it was.
void expectLeftAtRest(const SimRun& run) {
    const std::vector<unsigned> bytes = run.bytes();
    EXPECT_EQ(bytes.size() % 3, 0u);
    expectValidFrames(bytes);
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(std::vector<unsigned>(bytes.end() - 3, bytes.end()),
              (std::vector<unsigned>{0x80, 0x40, 0xC0}));
    const std::vector<TraceEntry> trace = run.entries();
    std::size_t closes = 0;
    for (const TraceEntry& entry : trace) {
        closes += entry.kind == "close";
    }
    EXPECT_EQ(closes, 1u);
    EXPECT_EQ(trace.back().kind, "close");
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

TEST(WaysOut, TermAndHangUpSignalsGoThroughTheShutDown) {
    for (int signal : {SIGTERM, SIGHUP}) {
        SimRun run;
        startDriving(run);
        kill(run.session.pid, signal);
        ASSERT_TRUE(waitForExit(run.session, 3000));
        ASSERT_TRUE(WIFEXITED(run.session.exitStatus)) << signal;
        EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 128 + signal);
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
    for (const TraceEntry& entry : run.entries()) {
        EXPECT_EQ(entry.kind, "open");
        EXPECT_NE(entry.status, 0u);
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

TEST(WaysOut, AClosedOutputDoesNotStopTheShutDown) {
    // Standard output a pipe whose reader is gone: every write fails with EPIPE.
    const std::string trace = tempPath("trace");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    int in[2];
    ASSERT_EQ(pipe(in), 0);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[1]);
        close(out[0]);
        execl(kSim.c_str(), kSim.c_str(), "--trace", trace.c_str(), nullptr);
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(out[0]);
    ASSERT_TRUE(waitForBytes(trace, 9, 3000));
    ASSERT_EQ(write(in[1], "\x1b[Aq", 4), 4);
    close(in[1]);
    int status = 0;
    for (int i = 0; i < 300 && waitpid(pid, &status, WNOHANG) == 0; ++i) {
        usleep(10000);
    }
    ASSERT_TRUE(WIFEXITED(status)) << "killed instead of shutting down";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    const std::vector<unsigned> bytes = acceptedBytes(readTrace(trace));
    ASSERT_GE(bytes.size(), 3u);
    EXPECT_EQ(std::vector<unsigned>(bytes.end() - 3, bytes.end()),
              (std::vector<unsigned>{0x80, 0x40, 0xC0}));
    unlink(trace.c_str());
}

TEST(BadInput, NoKeyboardAtAllStreamsQuietlyUntilStopped) {
    const std::string trace = tempPath("trace");
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        execl(kSim.c_str(), kSim.c_str(), "--trace", trace.c_str(), nullptr);
        _exit(127);
    }
    ASSERT_TRUE(waitForBytes(trace, 15, 3000));
    const double cpu = coreShareDuring(pid, [] { usleep(1500000); });
    EXPECT_GE(cpu, 0.0);
    EXPECT_LE(cpu, 0.05) << "the end of input is no busy stream of keys";
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGTERM);
    const std::vector<unsigned> bytes = acceptedBytes(readTrace(trace));
    EXPECT_GE(bytes.size(), 150u) << "frames went on streaming";
    expectValidFrames(bytes);
    unlink(trace.c_str());
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

TEST(DeviceFaults, UnpluggedWhileDrivingKeepsRunningQuietly) {
    SimRun run({"--unplug-after", "600"});
    startDriving(run);
    readFor(run.session, 700); // now unplugged
    const double cpu = coreShareDuring(run.session.pid, [&] { readFor(run.session, 2000); });
    EXPECT_GE(cpu, 0.0);
    EXPECT_LE(cpu, 0.05) << "share of one core while writes fail";
    std::size_t failed = 0;
    for (const TraceEntry& entry : run.entries()) {
        failed += entry.kind == "write" && entry.status == 4;
    }
    EXPECT_GT(failed, 100u) << "still streaming, at the line's pace";
    typeKeys(run.session, "\x1b[B");
    ASSERT_TRUE(waitForOutput(run.session, " Vpred: 1, Vlevo: 1", 2000));
    typeKeys(run.session, "q");
    ASSERT_TRUE(waitForExit(run.session, 3000));
    EXPECT_EQ(WEXITSTATUS(run.session.exitStatus), 0);
    EXPECT_EQ(screen(run.session), "Close\r\n");
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

TEST(DeviceFaults, ASecondProgramIsRefusedTheSameDevice) {
    FakeTree tree = makeFakeTree();
    addUsbSerial(tree, "ttyUSB0", "dimsal\n", 2);
    int master = -1, slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    ASSERT_EQ(symlink(ptsname(master), (tree.dev + "/ttyUSB0").c_str()), 0);
    close(slave);

    PtySession first = startInPty({kOnFakeTree, tree.sys, tree.dev});
    ASSERT_TRUE(waitForOutput(first, " Stuj: 0, Nenatoceno: 0", 3000));
    std::vector<unsigned> line;
    drain(master, line, 300);

    PtySession second = startInPty({kOnFakeTree, tree.sys, tree.dev});
    ASSERT_TRUE(waitForOutput(second, kPrompt, 3000));
    typeKeys(first, "\x1b[A");
    drain(master, line, 1000);
    readFor(second, 10);
    EXPECT_TRUE(onlyPrompts(second, kPrompt)) << "still prompting";

    // The second gives up; it never had the device.
    typeKeys(second, "\x03");
    ASSERT_TRUE(waitForExit(second, 3000));
    EXPECT_EQ(WEXITSTATUS(second.exitStatus), 130);

    typeKeys(first, "q");
    ASSERT_TRUE(waitForExit(first, 3000));
    EXPECT_EQ(WEXITSTATUS(first.exitStatus), 0);
    drain(master, line, 100);

    // The first program's stream, untouched by the second: whole frames of
    // rest, then of forward 1, then the rest frame.
    ASSERT_GE(line.size(), 30u);
    EXPECT_EQ(line.size() % 3, 0u);
    expectValidFrames(line);
    const unsigned forward[] = {0xA1, 0x40, 0xE1};
    EXPECT_NE(std::search(line.begin(), line.end(), std::begin(forward), std::end(forward)),
              line.end());
    EXPECT_EQ(std::vector<unsigned>(line.end() - 3, line.end()),
              (std::vector<unsigned>{0x80, 0x40, 0xC0}));

    // Once the first has let go, the device can be had again.
    PtySession third = startInPty({kOnFakeTree, tree.sys, tree.dev});
    ASSERT_TRUE(waitForOutput(third, " Stuj: 0, Nenatoceno: 0", 3000));
    typeKeys(third, "q");
    ASSERT_TRUE(waitForExit(third, 3000));
    EXPECT_EQ(WEXITSTATUS(third.exitStatus), 0);
    endSession(third);
    endSession(first);
    endSession(second);
    close(master);
    removeFakeTree(tree);
}

} // namespace
