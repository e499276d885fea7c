#include "tests/kernel/ft232r/usbip.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr std::uint32_t kCmdSubmit = 1;
constexpr std::uint32_t kCmdUnlink = 2;
constexpr std::uint32_t kRetSubmit = 3;
constexpr std::uint32_t kRetUnlink = 4;
// Every message starts with a 48-byte header: five basic words, then the
// command's own 28 bytes.
constexpr std::size_t kHeaderBytes = 48;
// More than any transfer the FTDI driver makes.
constexpr std::uint32_t kMaxTransfer = 65536;

const char* const kVhci = "/sys/devices/platform/vhci_hcd.0/";
// High-speed ports of the first controller; full-speed devices go there too.
constexpr int kPorts = 8;
constexpr int kFullSpeed = 2;

std::uint32_t word(const std::vector<std::uint8_t>& b, std::size_t at) {
    return std::uint32_t(b[at]) << 24 | std::uint32_t(b[at + 1]) << 16 |
           std::uint32_t(b[at + 2]) << 8 | b[at + 3];
}

void putWord(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = v >> 24;
    b[at + 1] = v >> 16;
    b[at + 2] = v >> 8;
    b[at + 3] = v;
}

bool writeSysfs(const std::string& file, const std::string& text) {
    const int fd = open((kVhci + file).c_str(), O_WRONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

} // namespace

bool usbipTakeCommand(std::vector<std::uint8_t>& buffer, UsbipCommand& command, bool* bad) {
    *bad = false;
    if (buffer.size() < kHeaderBytes) {
        return false;
    }
    const std::uint32_t kind = word(buffer, 0);
    command = UsbipCommand{};
    command.unlink = kind == kCmdUnlink;
    command.seqnum = word(buffer, 4);
    command.in = word(buffer, 12) == 1;
    command.endpoint = word(buffer, 16);
    std::size_t size = kHeaderBytes;
    if (kind == kCmdSubmit) {
        command.length = word(buffer, 24);
        if (command.length > kMaxTransfer) {
            *bad = true;
            return false;
        }
        std::memcpy(command.setup, &buffer[40], 8);
        if (!command.in) {
            size += command.length;
            if (buffer.size() < size) {
                return false;
            }
            command.data.assign(buffer.begin() + kHeaderBytes, buffer.begin() + size);
        }
    } else if (kind == kCmdUnlink) {
        command.unlinkSeqnum = word(buffer, 20);
    } else {
        *bad = true;
        return false;
    }
    buffer.erase(buffer.begin(), buffer.begin() + size);
    return true;
}

std::vector<std::uint8_t> usbipRetSubmit(std::uint32_t seqnum, std::int32_t status,
                                         std::uint32_t actualLength,
                                         const std::vector<std::uint8_t>& data) {
    std::vector<std::uint8_t> m(kHeaderBytes + data.size(), 0);
    putWord(m, 0, kRetSubmit);
    putWord(m, 4, seqnum);
    putWord(m, 20, static_cast<std::uint32_t>(status));
    putWord(m, 24, actualLength);
    std::copy(data.begin(), data.end(), m.begin() + kHeaderBytes);
    return m;
}

std::vector<std::uint8_t> usbipRetUnlink(std::uint32_t seqnum, std::int32_t status) {
    std::vector<std::uint8_t> m(kHeaderBytes, 0);
    putWord(m, 0, kRetUnlink);
    putWord(m, 4, seqnum);
    putWord(m, 20, static_cast<std::uint32_t>(status));
    return m;
}

// A port still being let go of after a detach refuses the attach: the next
// one is tried.
int vhciAttach(int socketFd, std::uint32_t devid) {
    for (int port = 0; port < kPorts; ++port) {
        char line[64];
        std::snprintf(line, sizeof line, "%d %d %u %d", port, socketFd, devid, kFullSpeed);
        if (writeSysfs("attach", line)) {
            return port;
        }
    }
    return -1;
}

bool vhciDetach(int port) {
    return writeSysfs("detach", std::to_string(port));
}
