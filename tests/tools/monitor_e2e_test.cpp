// rcdrive-monitor as a user runs it: on the trace of a real rcdrive-sim run,
// on a trace that grows while it watches, on a pseudo-terminal standing in
// for a serial device, and --list on a fake sysfs tree.
#include "tests/e2e/pty_session.h"
#include "tests/link/fake_sysfs.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/wait.h>

namespace {

const std::string kMonitor = RCDRIVE_MONITOR_PATH;
const std::string kSim = RCDRIVE_SIM_PATH;

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

struct Outcome {
    std::string out;
    std::string err;
    int code = -1; // -1: killed or timed out
};

// Starts the monitor with stdout and stderr on pipes; as user nobody if asked.
Child startMonitor(const std::vector<std::string>& args, bool asNobody = false) {
    int out[2];
    int err[2];
    Child child;
    if (pipe(out) != 0 || pipe(err) != 0) {
        return child;
    }
    const passwd* nobody = getpwnam("nobody");
    child.pid = fork();
    if (child.pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(err[1], STDERR_FILENO);
        if (asNobody && (nobody == nullptr || setgroups(0, nullptr) != 0 ||
                         setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)) {
            _exit(126);
        }
        std::vector<char*> argv = {const_cast<char*>(kMonitor.c_str())};
        for (const std::string& arg : args) {
            argv.push_back(const_cast<char*>(arg.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    child.out = out[0];
    child.err = err[0];
    return child;
}

// Waits until the process has path open.
bool waitForOpen(pid_t pid, const std::string& path) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
    for (int tries = 0; tries < 300; ++tries) {
        for (int fd = 0; fd < 16; ++fd) {
            char target[256] = {};
            if (readlink((dir + std::to_string(fd)).c_str(), target, sizeof target - 1) > 0 &&
                path == target) {
                return true;
            }
        }
        usleep(10000);
    }
    return false;
}

// Collects the output until the monitor ends; kills it after timeoutMs.
Outcome finish(Child& child, int timeoutMs = 5000) {
    Outcome outcome;
    const std::int64_t deadline = nowNs() + std::int64_t{timeoutMs} * 1000000;
    pollfd fds[2] = {{child.out, POLLIN, 0}, {child.err, POLLIN, 0}};
    std::string* texts[2] = {&outcome.out, &outcome.err};
    int open = 2;
    while (open > 0 && nowNs() < deadline) {
        if (poll(fds, 2, 50) <= 0) {
            continue;
        }
        for (int i = 0; i < 2; ++i) {
            char buffer[4096];
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                texts[i]->append(buffer, static_cast<std::size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    if (open > 0) {
        kill(child.pid, SIGKILL);
    }
    waitpid(child.pid, &status, 0);
    for (const pollfd& p : fds) {
        if (p.fd >= 0) {
            close(p.fd);
        }
    }
    outcome.code = open == 0 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

Outcome runMonitor(const std::vector<std::string>& args, bool asNobody = false) {
    Child child = startMonitor(args, asNobody);
    return finish(child);
}

// The trace lines rcdrive-sim writes for a frame's three bytes.
std::string traceFrame(std::int64_t t, unsigned speed, unsigned steer) {
    std::string text;
    for (unsigned byte : {speed, steer, (speed + steer) & 0xFF}) {
        char line[64];
        std::snprintf(line, sizeof line, "%lld write %02X 0\n", static_cast<long long>(t++), byte);
        text += line;
    }
    return text;
}

void append(const std::string& path, const std::string& text, int flags = O_APPEND) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | flags, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

TEST(MonitorTrace, CountsEveryFrameOfASimRun) {
    const std::string trace = tempPath("monitor-trace");
    PtySession sim = startInPty({kSim, "--trace", trace});
    ASSERT_TRUE(waitForOutput(sim, " Stuj: 0, Nenatoceno: 0", 3000));
    typeKeys(sim, "\x1b[A\x1b[A\x1b[D");
    ASSERT_TRUE(waitForOutput(sim, " Vpred: 2, Vlevo: 1", 3000));
    ASSERT_TRUE(waitForBytes(trace, 150, 3000));
    typeKeys(sim, "q");
    ASSERT_TRUE(waitForExit(sim, 3000));
    endSession(sim);

    const std::size_t bytes = acceptedBytes(readTrace(trace)).size();
    ASSERT_EQ(bytes % 3, 0u);
    const Outcome got = runMonitor({"--trace", trace, "--summary"});
    EXPECT_EQ(got.out, "frames " + std::to_string(bytes / 3) + ", invalid 0, last 80 40 C0\n");
    EXPECT_EQ(got.code, 0);
    unlink(trace.c_str());
}

TEST(MonitorTrace, PassesOverBrokenAndForeignLines) {
    const std::string trace = tempPath("monitor-junk");
    const char binary[] = "\x01\x02\0 write\n";
    append(trace, "1 open \"dimsal\" 2 0\n" + traceFrame(10, 0xA3, 0x62) + "20 write 80 4\n" +
                      std::string(300000, '\xC0') + "\n" + std::string(binary, sizeof binary - 1) +
                      traceFrame(30, 0x80, 0x40) + "40 write A1 0\n40 write 4");
    const Outcome got = runMonitor({"--summary", "--trace", trace});
    EXPECT_EQ(got.out, "frames 2, invalid 0, last 80 40 C0\n");
    EXPECT_EQ(got.code, 0);
    unlink(trace.c_str());
}

// Lines arrive in pieces, the trace is written anew half-way, and the watch
// ends on a signal with the summary.
TEST(MonitorTrace, FollowsAGrowingTraceUntilStopped) {
    for (int signal : {SIGTERM, SIGINT}) {
        const std::string trace = tempPath("monitor-follow");
        append(trace, traceFrame(1, 0x80, 0x40));
        Child child = startMonitor({"--trace", trace, "--follow", "--summary"});
        const std::string frame = traceFrame(10, 0xA3, 0x62);
        append(trace, frame.substr(0, 20));
        usleep(150000);
        append(trace, frame.substr(20) + traceFrame(20, 0xA1, 0x40).substr(0, 30));
        usleep(300000);
        append(trace, traceFrame(1, 0x80, 0x40), O_TRUNC); // rcdrive-sim started again
        usleep(300000);
        append(trace, traceFrame(5, 0x94, 0x55));
        usleep(300000);
        const std::int64_t stopped = nowNs();
        kill(child.pid, signal);
        const Outcome got = finish(child);
        EXPECT_LT(nowNs() - stopped, 1000000000) << "ends soon after the signal";
        EXPECT_EQ(got.out, "frames 4, invalid 0, last 94 55 E9\n") << signal;
        EXPECT_EQ(got.code, 0);
        unlink(trace.c_str());
    }
}

TEST(MonitorTrace, LiveViewOnATerminal) {
    const std::string trace = tempPath("monitor-live");
    append(trace, traceFrame(nowNs(), 0xA3, 0x62));
    PtySession view = startInPty({kMonitor, "--trace", trace, "--follow"});
    EXPECT_TRUE(waitForOutput(view, " Vpred: 3, Vlevo: 2    A3 62 05", 3000));
    EXPECT_TRUE(waitForOutput(view, "frames 1, skipped 0, bad checksums 0", 3000));
    const std::size_t before = view.output.size();
    append(trace, traceFrame(nowNs(), 0x99, 0x59));
    EXPECT_TRUE(waitForOutput(view, " Vzad: 9, Vpravo: 9    99 59 F2", 3000, before));
    kill(view.pid, SIGINT);
    ASSERT_TRUE(waitForExit(view, 3000));
    EXPECT_TRUE(WIFEXITED(view.exitStatus) && WEXITSTATUS(view.exitStatus) == 0);
    // The cursor is left on a fresh line below the view.
    const std::string tail = view.output.substr(view.output.rfind("bad checksums"));
    EXPECT_NE(tail.find("\x1b[1B\r\n"), std::string::npos);
    endSession(view);
    unlink(trace.c_str());
}

TEST(MonitorDevice, ReadsFramesOffATerminalLine) {
    int master = -1;
    int slave = -1;
    ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    // The monitor must not hold the master too, or closing it would not end the line.
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    const std::string device = ptsname(master);
    Child child = startMonitor({"--summary", device});
    ASSERT_TRUE(waitForOpen(child.pid, device));

    // Joined in the middle of a frame, noise, a bad checksum, then clean frames.
    const std::vector<std::uint8_t> line = {0x40, 0xC0, 0x80, 0x40, 0xC0, 0x00, 0xA5, 0xA1, 0x40,
                                            0xE0, 0x93, 0x62, 0xF5, 0x93, 0x62, 0xF5, 0x80};
    ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    usleep(100000);
    int unread = 1;
    const std::int64_t deadline = nowNs() + 3000000000LL;
    while (unread > 0 && nowNs() < deadline && ioctl(slave, FIONREAD, &unread) == 0) {
        usleep(10000);
    }
    close(master); // the line goes away
    const Outcome got = finish(child);
    close(slave);
    EXPECT_EQ(got.out, "frames 3, invalid 7, last 93 62 F5\n");
    EXPECT_EQ(got.code, 0);
}

class MonitorList : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE((tree = makeFakeTree()).top.empty());
        chmod(tree.top.c_str(), 0755); // for the run as nobody
    }
    void TearDown() override { removeFakeTree(tree); }
    Outcome list(bool asNobody = false) {
        return runMonitor({"--list", "--sysfs-root", tree.sys, "--dev-root", tree.dev}, asNobody);
    }
    FakeTree tree;
};

TEST_F(MonitorList, SaysSoWhenThereAreNone) {
    const Outcome got = list();
    EXPECT_EQ(got.out, "No USB serial devices found. Is the transmitter plugged in?\n");
    EXPECT_EQ(got.code, 0);
}

TEST_F(MonitorList, MarksTheTransmitterAndWhyItCannotBeOpened) {
    addUsbSerial(tree, "ttyUSB0", "FT232R USB UART\n", 1);
    addUsbSerial(tree, "ttyUSB1", "dimsal\n", 2);
    addUsbSerial(tree, "ttyUSB2", "dimsal\n", 3); // rcdrive takes the first
    addUsbSerial(tree, "ttyUSB3", "\x1b[2Jevil\n", 4);
    const group* dialout = getgrnam("dialout");
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}) {
        const std::string node = tree.dev + "/" + name;
        writeFile(node, "");
        chmod(node.c_str(), 0660);
        if (getuid() == 0 && dialout != nullptr) {
            ASSERT_EQ(chown(node.c_str(), 0, dialout->gr_gid), 0);
        }
    }
    const Outcome mine = list();
    EXPECT_NE(mine.out.find("* " + tree.dev + "/ttyUSB1  ftdi_sio  yes     \"dimsal\"\n"),
              std::string::npos)
        << mine.out;
    EXPECT_NE(mine.out.find("  " + tree.dev + "/ttyUSB2  ftdi_sio  yes     \"dimsal\"\n"),
              std::string::npos);
    EXPECT_NE(mine.out.find("\"?[2Jevil\""), std::string::npos) << "no escapes reach the screen";
    EXPECT_NE(mine.out.find("* the transmitter"), std::string::npos);

    if (getuid() != 0 || dialout == nullptr) {
        GTEST_SKIP() << "needs root and a dialout group to take access away";
    }
    const Outcome theirs = list(true);
    EXPECT_NE(theirs.out.find("* " + tree.dev + "/ttyUSB1  ftdi_sio  no      \"dimsal\"\n"),
              std::string::npos)
        << theirs.out;
    EXPECT_NE(theirs.out.find(tree.dev + "/ttyUSB1: permission denied; it belongs to group "
                                         "dialout, which you are not in.\n"),
              std::string::npos);
    const std::string join =
        "To join group dialout: sudo usermod -aG dialout \"$USER\", then log out and in again.\n";
    EXPECT_NE(theirs.out.find(join), std::string::npos);
    EXPECT_EQ(theirs.out.find(join), theirs.out.rfind(join)) << "said once for all devices";
    EXPECT_EQ(theirs.code, 0);
}

TEST(MonitorUsage, WrongUseAndUnopenableInput) {
    for (const std::vector<std::string>& args :
         std::vector<std::vector<std::string>>{{},
                                               {"--follow", "/dev/null"},
                                               {"--trace"},
                                               {"--trace", "a", "b"},
                                               {"--list", "x"},
                                               {"--sysfs-root", "/tmp", "/dev/null"},
                                               {"--bogus"}}) {
        const Outcome got = runMonitor(args);
        EXPECT_EQ(got.code, 2) << ::testing::PrintToString(args);
        EXPECT_EQ(got.err.find("usage: rcdrive-monitor"), 0u);
        EXPECT_EQ(std::count(got.err.begin(), got.err.end(), '\n'), 1);
    }
    for (const std::string& path : {std::string("/nonexistent/trace"), std::string("/tmp")}) {
        const Outcome got = runMonitor({"--trace", path, "--summary"});
        EXPECT_EQ(got.code, 1);
        EXPECT_EQ(got.out, "");
        EXPECT_EQ(got.err.find("rcdrive-monitor: cannot "), 0u) << got.err;
        EXPECT_NE(got.err.find(path + ": "), std::string::npos);
    }
    EXPECT_EQ(runMonitor({"/nonexistent/ttyUSB9"}).err,
              "rcdrive-monitor: cannot open /nonexistent/ttyUSB9: No such file or directory\n");
}

} // namespace
