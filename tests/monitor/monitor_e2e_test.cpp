// rcdrive-monitor as a user runs it: on the trace of a real rcdrive-sim run,
// on a trace that grows, appears, is replaced or written anew while it
// watches, on a FIFO, on a pseudo-terminal standing in for a serial device,
// and --list on a fake sysfs tree.
#include "testkit/fake_sysfs.h"
#include "testkit/sim_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>

namespace {

const std::string kMonitor = RCDRIVE_MONITOR_PATH;

struct Outcome {
    std::string out; // stdout and stderr
    int code = -1;
};

// Runs the monitor with its output on a pipe, so without the live view.
// `prefix` runs it through another program.
Outcome runMonitor(const std::string& args, const std::string& prefix = "") {
    Outcome outcome;
    FILE* pipe = popen((prefix + kMonitor + " " + args + " 2>&1").c_str(), "r");
    char buffer[4096];
    for (std::size_t n; pipe != nullptr && (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;) {
        outcome.out.append(buffer, n);
    }
    const int status = pipe != nullptr ? pclose(pipe) : -1;
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return outcome;
}

// How /proc names this process as the holder of a device.
std::string heldByUs(const std::string& node) {
    std::string name;
    std::getline(std::ifstream("/proc/self/comm"), name);
    return node + ": held by another program: " + name + " (pid " + std::to_string(getpid()) + ")";
}

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           text.compare(text.size() - end.size(), end.size(), end) == 0;
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

// In one write, as rcdrive-sim writes a line.
void append(const std::string& path, const std::string& text, int flags = O_APPEND) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | flags, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    close(fd);
}

// Ends a watch with a signal, or waits for it to end by itself (signal 0):
// soon, with status 0 and the output ending in `end`.
void expectEnd(PtySession& view, int signal, const std::string& end) {
    const std::int64_t stopped = nowNs();
    if (signal != 0) {
        kill(view.pid, signal);
    }
    ASSERT_TRUE(waitForExit(view, 3000));
    EXPECT_LT(nowNs() - stopped, 1000000000) << "ends soon after the signal";
    EXPECT_EQ(exitCode(view), 0);
    EXPECT_TRUE(endsWith(view.output, end)) << signal << view.output;
    endSession(view);
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

TEST(MonitorTrace, CountsEveryFrameOfASimRun) {
    SimRun sim;
    ASSERT_TRUE(waitForOutput(sim.session, " Stuj: 0, Nenatoceno: 0", 3000));
    typeKeys(sim.session, "\x1b[A\x1b[A\x1b[D");
    ASSERT_TRUE(waitForOutput(sim.session, " Vpred: 2, Vlevo: 1", 3000));
    ASSERT_TRUE(waitForBytes(sim.trace, 150, 3000));
    typeKeys(sim.session, "q");
    ASSERT_TRUE(waitForExit(sim.session, 3000));
    const std::size_t bytes = sim.bytes().size();
    ASSERT_EQ(bytes % 3, 0u);
    const Outcome got = runMonitor("--trace " + sim.trace + " --summary");
    EXPECT_EQ(got.out, "frames " + std::to_string(bytes / 3) + ", invalid 0, last 80 40 C0\n");
    EXPECT_EQ(got.code, 0);
}

// On a terminal, with the live view: a trace that is not there yet, then
// grows in pieces; rcdrive-sim starting again empties it, puts a new file in
// its place, or empties the same file and writes past the old offset while
// the monitor was not looking (stopped), so that its size never shrank. Each
// run is read from its start, and the counts run on. Once nothing more comes
// the view says the writer has gone; a signal ends the watch with the summary.
TEST(MonitorTrace, FollowsATraceThatAppearsGrowsAndIsWrittenAnew) {
    const std::string trace = tempPath("monitor-follow");
    PtySession view = startInPty({kMonitor, "--trace", trace, "--follow", "--summary"});
    EXPECT_TRUE(waitForOutput(view, "no frame yet", 3000));
    append(trace, traceFrame(nowNs(), 0x80, 0x40));
    EXPECT_TRUE(waitForOutput(view, " Stuj: 0, Nenatoceno: 0    80 40 C0", 3000));
    const std::string frame = traceFrame(nowNs(), 0xA3, 0x62);
    append(trace, frame.substr(0, 20));
    readFor(view, 150);
    append(trace, frame.substr(20) + traceFrame(nowNs(), 0xA1, 0x40).substr(0, 30));
    EXPECT_TRUE(waitForOutput(view, " Vpred: 3, Vlevo: 2    A3 62 05", 3000));
    EXPECT_TRUE(waitForOutput(view, "frames 2, skipped 0, bad checksums 0", 3000));
    append(trace, traceFrame(nowNs(), 0x80, 0x40), O_TRUNC);
    readFor(view, 300);
    append(trace, traceFrame(nowNs(), 0x94, 0x55));
    EXPECT_TRUE(waitForOutput(view, " Vzad: 4, Vpravo: 5    94 55 E9", 3000));
    append(trace + ".new", traceFrame(nowNs(), 0xA3, 0x62) + traceFrame(nowNs(), 0x94, 0x55));
    ASSERT_EQ(rename((trace + ".new").c_str(), trace.c_str()), 0);
    EXPECT_TRUE(waitForOutput(view, "frames 6, skipped 0", 3000));
    kill(view.pid, SIGSTOP);
    append(trace,
           traceFrame(nowNs(), 0x80, 0x40) + traceFrame(nowNs(), 0xA1, 0x40) +
               traceFrame(nowNs(), 0x93, 0x62),
           O_TRUNC);
    kill(view.pid, SIGCONT);
    EXPECT_TRUE(waitForOutput(view, "frames 9, skipped 0", 3000));
    EXPECT_TRUE(waitForOutput(view, "writer gone, nothing for 1 s, frames 9", 3000));
    // The view stays, the cursor goes below it, and the summary follows.
    expectEnd(view, SIGTERM,
              "bad checksums 0\r\x1b[1A\x1b[1B\r\nframes 9, invalid 0, last 93 62 F5\r\n");
    unlink(trace.c_str());
}

// With its terminal's output stopped (Ctrl+S), the live view is skipped, not
// waited for, and the summary waited for a second at most: the monitor still
// ends when asked.
TEST(MonitorTrace, EndsWhenAskedWithItsTerminalStopped) {
    const std::string trace = tempPath("monitor-stopped");
    append(trace, traceFrame(nowNs(), 0x80, 0x40));
    PtySession view = startInPty({kMonitor, "--trace", trace, "--follow", "--summary"});
    EXPECT_TRUE(waitForOutput(view, "80 40 C0", 3000));
    typeKeys(view, "\x13");
    readFor(view, 500);
    kill(view.pid, SIGTERM);
    EXPECT_TRUE(waitForExit(view, 2000));
    endSession(view);
    unlink(trace.c_str());
}

// A FIFO gives each writer's text; the first writer's close ends the input,
// or with --follow the next writer is waited for. Waiting for a FIFO's writer
// or for a trace not there yet, a signal ends the watch as at any time.
TEST(MonitorTrace, ReadsFifoWritersAndStopsWhileWaiting) {
    struct Case {
        bool fifo;
        bool follow;
        int writers; // each sends one frame once the last one's was read
        int signal;  // 0: the input ends by itself
        const char* summary;
    };
    const Case cases[] = {
        {false, true, 0, SIGINT, "frames 0, invalid 0, last none"},
        {true, true, 0, SIGTERM, "frames 0, invalid 0, last none"},
        {true, true, 2, SIGTERM, "frames 2, invalid 0, last A3 62 05"},
        {true, false, 1, 0, "frames 1, invalid 0, last 80 40 C0"},
    };
    for (const Case& c : cases) {
        const std::string path = tempPath("monitor-fifo");
        ASSERT_TRUE(!c.fifo || mkfifo(path.c_str(), 0600) == 0);
        std::vector<std::string> argv = {kMonitor, "--summary", "--trace", path};
        if (c.follow) {
            argv.push_back("--follow");
        }
        PtySession view = startInPty(argv);
        EXPECT_TRUE(c.fifo ? waitForOpen(view.pid, path) : waitForOutput(view, "no frame", 3000));
        for (int i = 0; i < c.writers; ++i) {
            if (!waitForOpen(view.pid, path)) { // a writer would wait for a reader for ever
                ADD_FAILURE() << "stopped reading the FIFO";
                break;
            }
            append(path, traceFrame(nowNs(), i == 0 ? 0x80 : 0xA3, i == 0 ? 0x40 : 0x62));
            EXPECT_TRUE(waitForOutput(view, "frames " + std::to_string(i + 1) + ",", 3000));
        }
        readFor(view, 200);
        expectEnd(view, c.signal, std::string("\n") + c.summary + "\r\n");
        unlink(path.c_str());
    }
}

TEST(MonitorDevice, ReadsFramesOffATerminalLineUntilItGoesAway) {
    int master = -1;
    int slave = -1;
    // The monitor must not hold the master too, or closing it would not end the line.
    ASSERT_TRUE(openLinePty(master, slave));
    const std::string device = ptsname(master);
    // The slave is held here: reading beside a holder is refused unless meant.
    EXPECT_EQ(runMonitor(device).out,
              "rcdrive-monitor: " + heldByUs(device) + "; --shared reads beside it\n");
    PtySession monitor = startInPty({kMonitor, "--summary", "--shared", device});
    ASSERT_TRUE(waitForOpen(monitor.pid, device));

    // Joined in the middle of a frame, noise, a bad checksum, then clean frames.
    const std::vector<std::uint8_t> line = {0x40, 0xC0, 0x80, 0x40, 0xC0, 0x00, 0xA5, 0xA1, 0x40,
                                            0xE0, 0x93, 0x62, 0xF5, 0x93, 0x62, 0xF5, 0x80};
    ASSERT_EQ(write(master, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    readFor(monitor, 100);
    for (int unread = 1, tries = 0; unread > 0 && tries < 300; ++tries) {
        ASSERT_EQ(ioctl(slave, FIONREAD, &unread), 0);
        readFor(monitor, 10);
    }
    close(master); // the line goes away
    expectEnd(monitor, 0, "\nframes 3, invalid 7, last 93 62 F5\r\n");
    close(slave);
}

class MonitorList : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE((tree = makeFakeTree()).top.empty());
        chmod(tree.top.c_str(), 0755); // for the run as nobody
    }
    void TearDown() override { removeFakeTree(tree); }
    Outcome list(const std::string& prefix = "") {
        return runMonitor("--list --sysfs-root " + tree.sys + " --dev-root " + tree.dev, prefix);
    }
    FakeTree tree;
};

// Five ports: another chip, the transmitter twice (rcdrive takes the first),
// a description that would clear the screen, and one with no node. The nodes
// belong to group `gid`, which may use them, all but ttyUSB2's.
void addPorts(const FakeTree& tree, gid_t gid) {
    addUsbSerial(tree, "ttyUSB0", "FT232R USB UART\n", 1);
    addUsbSerial(tree, "ttyUSB1", "dimsal\n", 2);
    addUsbSerial(tree, "ttyUSB2", "dimsal\n", 3);
    addUsbSerial(tree, "ttyUSB3", "\x1b[2Jevil\n", 4);
    addUsbSerial(tree, "ttyUSB4", "other\n", 5);
    for (const char* name : {"ttyUSB0", "ttyUSB1", "ttyUSB2", "ttyUSB3"}) {
        const std::string node = tree.dev + "/" + name;
        writeFile(node, "");
        chmod(node.c_str(), name == std::string("ttyUSB2") ? 0600 : 0660);
        if (getuid() == 0) {
            ASSERT_EQ(chown(node.c_str(), 0, gid), 0);
        }
    }
}

// Every reason the prompt can give, for each device: one with the
// transmitter's description that refuses 8E1 (a pseudo-terminal has no
// parity), one that another program holds, named as /proc shows it; a
// description that would clear the screen, and no node. None of the
// transmitters can be used, so none is marked.
TEST_F(MonitorList, SaysWhyEachDeviceCannotBeUsedAndShowsNoEscapes) {
    EXPECT_EQ(list().out, "No USB serial devices found. Is the transmitter plugged in?\n\n"
                          "No gamepad found: the keyboard alone drives.\n");
    addUsbSerial(tree, "ttyUSB0", "FT232R USB UART\n", 1);
    addUsbSerial(tree, "ttyUSB1", "dimsal\n", 2);
    addUsbSerial(tree, "ttyUSB2", "dimsal\n", 3);
    addUsbSerial(tree, "ttyUSB3", "\x1b[2Jevil\n", 4);
    addUsbSerial(tree, "ttyUSB4", "other\n", 5);
    writeFile(tree.dev + "/ttyUSB0", "");
    writeFile(tree.dev + "/ttyUSB3", "");
    int masters[2] = {-1, -1};
    int slaves[2] = {-1, -1};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(openLinePty(masters[i], slaves[i]));
        const std::string node = tree.dev + "/ttyUSB" + std::to_string(i + 1);
        ASSERT_EQ(symlink(ptsname(masters[i]), node.c_str()), 0);
    }
    close(slaves[0]);
    const Outcome got = list();
    for (const std::string& line :
         {"  " + tree.dev + "/ttyUSB0  ftdi_sio  yes     \"FT232R USB UART\"\n",
          "  " + tree.dev + "/ttyUSB1  ftdi_sio  no      \"dimsal\"\n",
          "  " + tree.dev + "/ttyUSB2  ftdi_sio  no      \"dimsal\"\n",
          "  " + tree.dev + "/ttyUSB3  ftdi_sio  yes     \"?[2Jevil\"\n",
          std::string("None with the USB description \"dimsal\" can be used now: rcdrive would "
                      "keep waiting for the transmitter. Why:\n"),
          tree.dev + "/ttyUSB1: refuses 1200 baud 8E1\n", heldByUs(tree.dev + "/ttyUSB2") + "\n",
          tree.dev + "/ttyUSB4: no device node: No such file or directory\n"}) {
        EXPECT_NE(got.out.find(line), std::string::npos) << line << " not in\n" << got.out;
    }
    EXPECT_EQ(got.out.find('*'), std::string::npos) << got.out;
    EXPECT_EQ(got.code, 0);
    for (int fd : {masters[0], masters[1], slaves[1]}) {
        close(fd);
    }
}

// Root may open anything, so the reasons another user may not are listed as
// nobody, in a child that drops to that user; the monitor, asked to read one
// of them, names the group as rcdrive does.
TEST_F(MonitorList, SaysWhyAnotherUserCannotOpenIt) {
    const group* dialout = getgrnam("dialout");
    if (getuid() != 0 || dialout == nullptr) {
        GTEST_SKIP() << "needs root, to give the nodes to group dialout and list them as nobody";
    }
    addPorts(tree, dialout->gr_gid);
    // Two pads in numeric order, the first for root alone, and a touchpad,
    // which is no pad.
    makeDirs(tree.dev + "/input");
    for (const char* event : {"event4", "event10", "event7"}) {
        const std::string node = tree.dev + "/input/" + event;
        writeFile(node, "");
        chmod(node.c_str(), event == std::string("event4") ? 0600 : 0644);
    }
    addInputDevice(tree, "event10", "Pad Two", kPadKeyBits, "3");
    addInputDevice(tree, "event4", "Pad \x1b[2JOne", kPadKeyBits, "3");
    addInputDevice(tree, "event7", "Touchpad", "10000 0 0 0 0", "3");
    const std::string asNobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    const Outcome got = list(asNobody);
    const std::string join =
        "To join group dialout: sudo usermod -aG dialout \"$USER\", then log out and in again.\n";
    for (const std::string& line :
         {"  " + tree.dev + "/ttyUSB1  ftdi_sio  no      \"dimsal\"\n",
          tree.dev + "/ttyUSB1: permission denied; it belongs to group dialout, which you are not "
                     "in.\n",
          "  " + tree.dev + "/input/event4   no      \"Pad ?[2JOne\"\n* " + tree.dev +
              "/input/event10  yes     \"Pad Two\"\n",
          tree.dev + "/input/event4: Permission denied (group root)\n",
          tree.dev + "/ttyUSB2: permission denied; not even its group dialout may use it (mode "
                     "600). rcdrive's udev rule, packaging/udev/70-rcdrive.rules, gives the "
                     "transmitter to dialout.\n",
          join}) {
        EXPECT_NE(got.out.find(line), std::string::npos) << line << " not in\n" << got.out;
    }
    EXPECT_EQ(got.out.find(join), got.out.rfind(join)) << "said once for all devices";
    EXPECT_EQ(got.out.find("Touchpad"), std::string::npos) << got.out;
    EXPECT_EQ(got.code, 0);
    const Outcome read = runMonitor(tree.dev + "/ttyUSB1", asNobody);
    EXPECT_EQ(read.out, "rcdrive-monitor: cannot open " + tree.dev +
                            "/ttyUSB1: Permission denied (group dialout)\n");
    EXPECT_EQ(read.code, 1);
}

// Wrong use names what is wrong, then the usage, with status 2; input that
// is not what it was given as is named with status 2 too, also when it
// never ends, and input that cannot be opened with status 1 (the summary,
// asked for, still comes first). Lines that are no trace lines are passed
// over in a trace.
TEST(MonitorUsage, SaysWhatIsWrongWithTheUseOrTheInput) {
    const std::string trace = tempPath("monitor-wrong");
    append(trace, "1 open \"dimsal\" 2 0\n" + traceFrame(10, 0x80, 0x40));
    const std::string notes = tempPath("monitor-notes");
    append(notes, "milk\n2 eggs\n");
    // A failed write, an overlong line, binary junk and an unfinished line.
    const std::string junk = tempPath("monitor-junk");
    const char binary[] = "\x01\x02\0 write\n";
    append(junk, "1 open \"dimsal\" 2 0\n" + traceFrame(10, 0xA3, 0x62) + "20 write 80 4\n" +
                     std::string(300000, '\xC0') + "\n" + std::string(binary, sizeof binary - 1) +
                     traceFrame(30, 0x80, 0x40) + "40 write A1 0\n40 write 4");
    const auto said = [](const std::string& what) { return "rcdrive-monitor: " + what + "\n"; };
    const auto misused = [&](const std::string& what) {
        return said(what) + "usage: rcdrive-monitor [--summary] [--shared] DEVICE | [--summary] "
                            "--trace FILE [--follow] | --list\n";
    };
    const std::tuple<std::string, std::string, int> cases[] = {
        {"", misused("nothing to read: give a DEVICE, --trace FILE or --list"), 2},
        {"--follow /dev/null", misused("--follow: only with --trace FILE"), 2},
        {"--trace", misused("--trace: needs a file name"), 2},
        {"--trace --follow", misused("--trace: needs a file name"), 2},
        {"--shared --trace a", misused("--shared: only with a DEVICE"), 2},
        {"--trace a b", misused("b: a DEVICE or --trace FILE, not both"), 2},
        {"a b", misused("b: only one DEVICE at a time"), 2},
        {"--trace a --trace b", misused("--trace: only one trace at a time"), 2},
        {"--list x",
         misused("--list: goes with no DEVICE, --trace, --summary, --follow or --shared"), 2},
        {"--sysfs-root /tmp /dev/null", misused("--sysfs-root, --dev-root: only with --list"), 2},
        {"--bogus", misused("--bogus: unknown option"), 2},
        {"--trace /nonexistent/trace --summary",
         said("cannot open /nonexistent/trace: No such file or directory"), 1},
        {"--summary /tmp/", said("cannot open /tmp/: Is a directory"), 1},
        {"--summary --trace /tmp/", said("cannot open /tmp/: Is a directory"), 1},
        {"--summary /dev/null", said("/dev/null is not a serial line: a device, but no terminal"),
         2},
        {"--summary " + trace,
         said(trace + " is an rcdrive-sim trace: read it with --trace " + trace), 2},
        {"--summary --trace " + notes,
         "frames 0, invalid 0, last none\n" +
             said(notes + " is not a trace: it does not begin with an rcdrive-sim trace line"),
         2},
        {"--summary --trace /dev/zero",
         "frames 0, invalid 0, last none\n" +
             said("/dev/zero is not a trace: it does not begin with an rcdrive-sim trace line"),
         2},
        {"--summary --trace " + junk, "frames 2, invalid 0, last 80 40 C0\n", 0},
    };
    for (const auto& [args, out, code] : cases) {
        const Outcome got = runMonitor(args);
        EXPECT_EQ(got.out, out);
        EXPECT_EQ(got.code, code) << args;
    }
    unlink(trace.c_str());
    unlink(notes.c_str());
    unlink(junk.c_str());
}

} // namespace
