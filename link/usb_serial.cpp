// Reads the USB serial devices out of sysfs. Each ttyUSB entry under
// class/tty has a `device` link to the usb-serial port; the port's `driver`
// link names the kernel driver, and the first directory above the port that
// has an idVendor file is the USB device, whose `product` file holds the
// product string. Paths are resolved with realpath and the walk up never
// leaves sysfsRoot, so a fake tree under a temporary directory works the same
// way as /sys.
#include "link/usb_serial.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// USB strings are at most 126 UTF-16 characters; anything longer than this
// is not a product string.
constexpr std::size_t kMaxAttributeBytes = 4096;

std::string resolvedPath(const std::string& path) {
    char* resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr) {
        return "";
    }
    std::string result(resolved);
    std::free(resolved);
    return result;
}

// True if path is root itself or lies below it.
bool isWithin(const std::string& path, const std::string& root) {
    if (path.compare(0, root.size(), root) != 0) {
        return false;
    }
    return path.size() == root.size() || root == "/" || path[root.size()] == '/';
}

bool isRegularFile(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The file's contents without trailing whitespace; "" if it cannot be read.
std::string readAttribute(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return "";
    }
    std::string text;
    char buffer[512];
    while (text.size() < kMaxAttributeBytes) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    text.resize(std::min(text.size(), kMaxAttributeBytes));
    std::size_t end = text.find_last_not_of(" \t\r\n");
    text.erase(end == std::string::npos ? 0 : end + 1);
    return text;
}

// The name of the directory a symlink points to, "" if path is no symlink.
std::string linkBasename(const std::string& path) {
    char target[4096];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) {
        return "";
    }
    std::string text(target, static_cast<std::size_t>(n));
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    std::size_t slash = text.rfind('/');
    return slash == std::string::npos ? text : text.substr(slash + 1);
}

// The digits after "ttyUSB", or "" if the name is not ttyUSB<number>.
std::string usbSerialNumber(const std::string& name) {
    const std::string prefix = "ttyUSB";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) {
        return "";
    }
    std::string digits = name.substr(prefix.size());
    if (digits.find_first_not_of("0123456789") != std::string::npos) {
        return "";
    }
    return digits;
}

// Numeric order on digit strings of any length, without converting them.
bool numericallyBefore(const UsbSerialDevice& a, const UsbSerialDevice& b) {
    std::string x = usbSerialNumber(a.name);
    std::string y = usbSerialNumber(b.name);
    x.erase(0, std::min(x.find_first_not_of('0'), x.size()));
    y.erase(0, std::min(y.find_first_not_of('0'), y.size()));
    if (x.size() != y.size()) {
        return x.size() < y.size();
    }
    if (x != y) {
        return x < y;
    }
    return a.name < b.name;
}

// The USB device above the port directory: the nearest directory with an
// idVendor file, strictly inside root. "" if there is none.
std::string usbDeviceAbove(std::string dir, const std::string& root) {
    while (dir.size() > root.size() && isWithin(dir, root)) {
        if (isRegularFile(dir + "/idVendor")) {
            return dir;
        }
        dir.erase(dir.rfind('/'));
    }
    return "";
}

} // namespace

std::vector<UsbSerialDevice> findUsbSerialDevices(const std::string& sysfsRoot,
                                                  const std::string& devRoot) {
    std::vector<UsbSerialDevice> devices;
    const std::string root = resolvedPath(sysfsRoot);
    if (root.empty()) {
        return devices;
    }
    const std::string classDir = sysfsRoot + "/class/tty";
    DIR* dir = opendir(classDir.c_str());
    if (dir == nullptr) {
        return devices;
    }
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (usbSerialNumber(name).empty()) {
            continue;
        }
        const std::string port = resolvedPath(classDir + "/" + name + "/device");
        if (port.empty() || !isWithin(port, root)) {
            continue;
        }
        const std::string usbDevice = usbDeviceAbove(port, root);
        if (usbDevice.empty()) {
            continue;
        }
        UsbSerialDevice device;
        device.name = name;
        device.node = devRoot + "/" + name;
        device.description = readAttribute(usbDevice + "/product");
        device.driver = linkBasename(port + "/driver");
        devices.push_back(device);
    }
    closedir(dir);
    std::sort(devices.begin(), devices.end(), numericallyBefore);
    return devices;
}
