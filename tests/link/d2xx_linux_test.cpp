// The Linux D2XX layer on fake sysfs trees whose device nodes are
// pseudo-terminals: the test holds the master end and sees what a
// transmitter on the line would receive. What a real port does (the kernel's
// FTDI driver: line settings, unplugging, a device that holds up the close, a
// port another program holds) is tested by make kernel-test; here are the
// sysfs layouts, nodes and ports it cannot show.
#include "link/d2xx_linux.h"

#include "link/d2xx_queue.h"
#include "link/open_problem.h"
#include "process/clock.h"
#include "testkit/fake_sysfs.h"

#include <cstdio>
#include <dirent.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <vector>

// A pty keeps the speed and most c_cflag bits but forces CS8 and clears
// PARENB, so what the layer asks for is also checked in the requests
// themselves: tcsetattr is wrapped to record them, and to play a driver that
// silently keeps its speed whatever is asked.
namespace {
std::vector<termios> requests;
speed_t keptSpeed = B0; // B0: the request goes through as it is
} // namespace

extern "C" int tcsetattr(int fd, int action, const termios* t) noexcept {
    using Real = int (*)(int, int, const termios*);
    static Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "tcsetattr"));
    requests.push_back(*t);
    termios applied = *t;
    if (keptSpeed != B0) {
        cfsetspeed(&applied, keptSpeed);
    }
    return real(fd, action, &applied);
}

namespace {

using Bytes = std::vector<unsigned char>;

double msSince(std::int64_t startNs) {
    return static_cast<double>(monotonicNs() - startNs) / kNsPerMs;
}

int openFdCount() {
    int count = 0;
    DIR* dir = opendir("/proc/self/fd");
    while (dir != nullptr && readdir(dir) != nullptr) {
        ++count;
    }
    closedir(dir);
    return count;
}

// Reads from fd until n bytes have come or nothing more arrives for 200 ms.
Bytes readUpTo(int fd, std::size_t n) {
    Bytes got;
    unsigned char buffer[4096];
    pollfd p{fd, POLLIN, 0};
    while (got.size() < n && poll(&p, 1, 200) > 0) {
        ssize_t r = read(fd, buffer, std::min(sizeof buffer, n - got.size()));
        if (r <= 0) {
            break;
        }
        got.insert(got.end(), buffer, buffer + r);
    }
    return got;
}

// Raw bytes at the given speed with one stop bit, no flow control, modem
// lines ignored.
void expectRawLine(int fd, speed_t speed) {
    termios t{};
    ASSERT_EQ(tcgetattr(fd, &t), 0);
    EXPECT_EQ(cfgetospeed(&t), speed);
    EXPECT_EQ(cfgetispeed(&t), speed);
    EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), 0u);
    EXPECT_EQ(t.c_cflag & (CRTSCTS | CLOCAL | CREAD | HUPCL), tcflag_t(CLOCAL | CREAD | HUPCL));
    EXPECT_EQ(t.c_iflag & (IXON | IXOFF | IXANY), 0u);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), 0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
}

FT_STATUS openEx(const char* description, FT_HANDLE* handle) {
    return FT_OpenEx(const_cast<char*>(description), FT_OPEN_BY_DESCRIPTION, handle);
}

FT_STATUS writeBytes(FT_HANDLE handle, Bytes bytes, std::uint32_t* written) {
    return FT_Write(handle, bytes.data(), static_cast<std::uint32_t>(bytes.size()), written);
}

struct Pty {
    int master = -1;
    int slave = -1;
};

class D2xxLinuxTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE((tree = makeFakeTree()).top.empty());
        setDeviceRoots(tree.sys, tree.dev);
    }
    void TearDown() override {
        for (FT_HANDLE h : handles) {
            FT_Close(h);
        }
        for (const Pty& pty : ptys) {
            close(pty.master);
            close(pty.slave);
        }
        setDeviceRoots("/sys", "/dev");
        removeFakeTree(tree);
    }

    // A USB serial port whose node /dev/<name> is a pty's slave end.
    Pty addDevice(const std::string& name, const char* product, int usbPort) {
        addUsbSerial(tree, name, product, usbPort);
        Pty pty;
        char path[128];
        EXPECT_EQ(openpty(&pty.master, &pty.slave, path, nullptr, nullptr), 0);
        termios raw{};
        tcgetattr(pty.master, &raw);
        cfmakeraw(&raw);
        tcsetattr(pty.master, TCSANOW, &raw);
        symlink(path, (tree.dev + "/" + name).c_str());
        ptys.push_back(pty);
        return pty;
    }

    FT_HANDLE open(const char* description) {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(openEx(description, &h), FT_OK);
        handles.push_back(h);
        return h;
    }

    FakeTree tree;
    std::vector<Pty> ptys;
    std::vector<FT_HANDLE> handles;
};

// The first in numeric order whose description is exactly the one asked for.
TEST_F(D2xxLinuxTest, OpensFirstUsbDeviceWithExactDescription) {
    addDevice("ttyUSB1", "Other", 1);
    Pty ten = addDevice("ttyUSB10", "Transmitter", 10);
    Pty two = addDevice("ttyUSB2", "Transmitter\n", 2);

    FT_HANDLE h = open("Transmitter");
    std::uint32_t written = 0;
    ASSERT_EQ(writeBytes(h, {'x'}, &written), FT_OK);
    EXPECT_EQ(readUpTo(two.master, 1), Bytes{'x'});
    EXPECT_TRUE(readUpTo(ten.master, 1).empty());

    FT_HANDLE other = &written;
    EXPECT_EQ(openEx("Transmit", &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(other, nullptr);
    EXPECT_EQ(openEx("", &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_OpenEx(nullptr, FT_OPEN_BY_DESCRIPTION, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_OpenEx(const_cast<char*>("Other"), 1, &other), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(openEx("Other", nullptr), FT_INVALID_HANDLE);
}

// A device with no node, one whose node is no terminal, and one that another
// handle holds are not opened, and leave no descriptor behind.
TEST_F(D2xxLinuxTest, ADeviceThatCannotBeHadIsNotOpened) {
    addUsbSerial(tree, "ttyUSB0", "No node", 1);
    addUsbSerial(tree, "ttyUSB1", "Not a terminal", 2);
    writeFile(tree.dev + "/ttyUSB1", "");
    addDevice("ttyUSB2", "Transmitter", 3);
    FT_HANDLE first = open("Transmitter");
    const int fds = openFdCount();
    FT_HANDLE h = nullptr;
    for (const char* description : {"No node", "Not a terminal", "Transmitter"}) {
        EXPECT_EQ(openEx(description, &h), FT_DEVICE_NOT_OPENED) << description;
        EXPECT_EQ(h, nullptr);
    }
    EXPECT_EQ(openFdCount(), fds);
    ASSERT_EQ(FT_Close(first), FT_OK);
    open("Transmitter");
}

TEST_F(D2xxLinuxTest, OpenPutsTheLineInPowerOnStateThenSetsOnlyWhatItCan) {
    Pty pty = addDevice("ttyUSB0", "Transmitter", 1);
    termios left{};
    tcgetattr(pty.slave, &left);
    left.c_lflag |= ICANON | ECHO;
    left.c_oflag |= OPOST | ONLCR;
    left.c_iflag |= IXON | IXOFF;
    left.c_cflag |= PARODD | CSTOPB | CRTSCTS;
    left.c_cflag &= ~HUPCL;
    left.c_cc[VMIN] = 1;
    cfsetspeed(&left, B38400);
    tcsetattr(pty.slave, TCSANOW, &left);

    FT_HANDLE h = open("Transmitter");
    EXPECT_EQ(requests.back().c_cflag & (CSIZE | PARENB), tcflag_t(CS8));
    expectRawLine(pty.slave, B9600);

    // A driver that stays at 9600 baud while reporting success.
    keptSpeed = B9600;
    EXPECT_EQ(FT_SetBaudRate(h, 1200), FT_IO_ERROR);
    keptSpeed = B0;
    ASSERT_EQ(FT_SetBaudRate(h, 1200), FT_OK);
    expectRawLine(pty.slave, B1200);
    termios t{};
    ASSERT_EQ(tcgetattr(pty.slave, &t), 0);

    // A pty has no parity: it drops PARENB but takes the rest of the same
    // request, so tcsetattr may even succeed. The layer must report the
    // failure and put the line back as it was.
    std::size_t mark = requests.size();
    EXPECT_EQ(FT_SetDataCharacteristics(h, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN), FT_IO_ERROR);
    ASSERT_GT(requests.size(), mark);
    EXPECT_EQ(requests[mark].c_cflag & (CSIZE | PARENB | PARODD | CSTOPB), tcflag_t(CS8 | PARENB));
    termios after{};
    ASSERT_EQ(tcgetattr(pty.slave, &after), 0);
    EXPECT_EQ(after.c_cflag, t.c_cflag);

    // Any other rate or framing is refused and changes nothing; 0 baud would
    // hang up. Framings as {word length, stop bits (0 one, 2 two), parity (0
    // none, 1 odd, 2 even)}.
    mark = requests.size();
    for (std::uint32_t rate : {0u, 9600u, 12345u}) {
        EXPECT_EQ(FT_SetBaudRate(h, rate), FT_INVALID_BAUD_RATE) << rate;
    }
    for (const auto& f : {Bytes{7, 0, 2}, Bytes{8, 2, 2}, Bytes{8, 0, 1}, Bytes{8, 0, 0},
                          Bytes{6, 0, 2}, Bytes{8, 1, 2}, Bytes{8, 0, 3}}) {
        EXPECT_EQ(FT_SetDataCharacteristics(h, f[0], f[1], f[2]), FT_INVALID_PARAMETER)
            << int(f[0]) << int(f[1]) << int(f[2]);
    }
    EXPECT_EQ(requests.size(), mark);
}

TEST_F(D2xxLinuxTest, BytesArriveUnchanged) {
    Pty pty = addDevice("ttyUSB0", "Transmitter", 1);
    FT_HANDLE h = open("Transmitter");
    // Every byte value, those a cooked terminal would translate, strip or act
    // on among them, and more than the pty buffers, so that the write waits
    // for room while a reader drains them. On a loaded machine the reader may
    // not run at all within the write's time limit: a few tries, and every
    // try's bytes must arrive unchanged.
    std::uint32_t written = 0;
    Bytes big(32768);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<unsigned char>(i * 7 + i / 256);
    }
    FT_STATUS status = FT_IO_ERROR;
    for (int attempt = 0; attempt < 5 && status != FT_OK; ++attempt) {
        Bytes received;
        std::thread reader([&] { received = readUpTo(pty.master, big.size()); });
        status = writeBytes(h, big, &written);
        reader.join();
        EXPECT_TRUE(received == Bytes(big.begin(), big.begin() + written));
    }
    EXPECT_EQ(status, FT_OK);
    EXPECT_EQ(written, big.size());
}

TEST_F(D2xxLinuxTest, WriteToStuckDeviceGivesUpWithCountOfBytesSent) {
    Pty pty = addDevice("ttyUSB0", "Transmitter", 1);
    FT_HANDLE h = open("Transmitter");
    std::uint32_t written = 99;

    // Output stopped: no room ever comes.
    ASSERT_EQ(tcflow(pty.slave, TCOOFF), 0);
    std::int64_t start = monotonicNs();
    EXPECT_EQ(writeBytes(h, {1, 2, 3}, &written), FT_IO_ERROR);
    const double stalledMs = msSince(start);
    EXPECT_EQ(written, 0u);
    EXPECT_GE(stalledMs, 19.0);
    EXPECT_LT(stalledMs, 100.0);
    ASSERT_EQ(tcflow(pty.slave, TCOON), 0);

    // Nobody reads: the write fills the buffer, then reports what it sent.
    Bytes big(256 * 1024);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<unsigned char>(i % 251);
    }
    start = monotonicNs();
    EXPECT_EQ(writeBytes(h, big, &written), FT_IO_ERROR);
    const double fullMs = msSince(start);
    EXPECT_LT(fullMs, 100.0);
    ASSERT_GT(written, 0u);
    ASSERT_LT(written, big.size());
    EXPECT_TRUE(readUpTo(pty.master, big.size()) == Bytes(big.begin(), big.begin() + written));
    std::printf("stuck device: write gave up after %.1f ms (stopped), %.1f ms (full, %u bytes)\n",
                stalledMs, fullMs, static_cast<unsigned>(written));
}

// Once a chip has been written to, opening by its description finds that
// chip alone: by its USB serial number, whatever node and port it comes back
// on, or by its USB port where it has none. Another chip of the same name is
// left alone, and the reason says why.
TEST_F(D2xxLinuxTest, AfterALossOnlyTheChipDrivenIsOpenedAgain) {
    const auto drive = [] { // a byte through the next open by description, if any
        FT_HANDLE h = nullptr;
        std::uint32_t written = 0;
        const bool opened = openEx("dimsal", &h) == FT_OK;
        EXPECT_EQ(d2xxQueuedBytes(h), opened ? 0 : -1);
        return opened && writeBytes(h, {0x80}, &written) == FT_OK && FT_Close(h) == FT_OK;
    };
    const auto unplug = [&](const char* name) {
        unlink((tree.sys + "/class/tty/" + name).c_str());
    };
    addDevice("ttyUSB0", "dimsal", 1);
    writeFile(tree.sys + "/" + usbDeviceDir(1) + "/serial", "A1\n");
    Pty two = addDevice("ttyUSB1", "dimsal", 2);
    ASSERT_TRUE(drive());
    unplug("ttyUSB0");
    EXPECT_FALSE(drive());
    EXPECT_EQ(d2xxOpenProblem(), tree.dev +
                                     "/ttyUSB1: another transmitter than the one driven; "
                                     "restarting rcdrive takes it, see rcdrive-monitor --list");
    addDevice("ttyUSB2", "dimsal", 3);
    writeFile(tree.sys + "/" + usbDeviceDir(3) + "/serial", "A1\n");
    EXPECT_TRUE(drive()) << "the same serial number, on another port";

    setDeviceRoots(tree.sys, tree.dev); // afresh, and now without serial numbers
    unplug("ttyUSB2");
    ASSERT_TRUE(drive());
    unplug("ttyUSB1");
    addDevice("ttyUSB4", "dimsal", 4);
    EXPECT_FALSE(drive());
    addDevice("ttyUSB5", "dimsal", 2);
    EXPECT_TRUE(drive()) << "the same port";
    EXPECT_EQ(readUpTo(two.master, 2), Bytes{0x80}) << "port 2's first chip, driven once";
}

// With no descriptor to spare the devices cannot even be listed, and the
// reason says so.
TEST_F(D2xxLinuxTest, TooFewDescriptorsAreTheReason) {
    addDevice("ttyUSB0", "dimsal", 1);
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit none = before;
    const int lowestFree = dup(0);
    close(lowestFree);
    none.rlim_cur = static_cast<rlim_t>(lowestFree);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
    FT_HANDLE h = nullptr;
    const FT_STATUS status = openEx("dimsal", &h);
    setrlimit(RLIMIT_NOFILE, &before);
    EXPECT_EQ(status, FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(d2xxOpenProblem(),
              tree.sys + "/class/tty: Too many open files, see rcdrive-monitor --list");
}

TEST_F(D2xxLinuxTest, RefusesUnknownHandlesAndMissingBuffers) {
    addDevice("ttyUSB0", "Transmitter", 1);
    FT_HANDLE h = open("Transmitter");
    unsigned char byte = 0;
    std::uint32_t written = 7;
    EXPECT_EQ(FT_Write(h, nullptr, 1, &written), FT_IO_ERROR);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(FT_Write(h, &byte, 1, nullptr), FT_IO_ERROR);
    ASSERT_EQ(FT_Close(h), FT_OK);

    // Null, closed, and never-opened handles alike.
    for (FT_HANDLE bad : {FT_HANDLE(nullptr), h, FT_HANDLE(&byte)}) {
        EXPECT_EQ(FT_SetBaudRate(bad, 1200), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetDataCharacteristics(bad, 8, 0, 0), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Write(bad, &byte, 1, &written), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
    }
}

} // namespace
