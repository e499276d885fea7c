// Reads the USB serial devices out of sysfs. Each ttyUSB entry under
// class/tty has a `device` link to the usb-serial port; the port's `driver`
// link names the kernel driver. Above the port lie the USB interface (the
// first directory with a bInterfaceNumber file) and the USB device (the first
// with an idVendor file), whose `product` file holds the product string and
// whose bNumInterfaces tells a chip with several serial channels. Paths are resolved to canonical
// ones and the walk up never leaves sysfsRoot, so a fake tree under a temporary directory works the
// same way as /sys. Every filesystem call takes an error_code: a device that goes away while it is
// being read is skipped, nothing throws.
#include "link/usb_serial.h"

#include "process/sysfs_attribute.h"

#include <algorithm>
#include <charconv>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

// The canonical form of path, empty if it cannot be resolved.
fs::path resolvedPath(const fs::path& path) {
    std::error_code ec;
    fs::path resolved = fs::canonical(path, ec);
    return ec ? fs::path() : resolved;
}

// True if path is root itself or lies below it; both are canonical.
bool isWithin(const fs::path& path, const fs::path& root) {
    return std::mismatch(root.begin(), root.end(), path.begin(), path.end()).first == root.end();
}

bool isRegularFile(const fs::path& path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// The name of what a symlink points to, "" if path is no symlink.
std::string linkBasename(const fs::path& path) {
    std::error_code ec;
    fs::path target = fs::read_symlink(path, ec);
    if (ec) {
        return "";
    }
    return (target.has_filename() ? target : target.parent_path()).filename().string();
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

// A whole number in the given base, alone in the file but for spaces around
// it (sysfs writes bNumInterfaces as "%2d"); -1 if there is none.
long readNumber(const fs::path& path, int base) {
    const std::string text = readSysfsAttribute(path);
    const std::size_t start = std::min(text.find_first_not_of(' '), text.size());
    const char* last = text.data() + text.size();
    long value = -1;
    auto [end, error] = std::from_chars(text.data() + start, last, value, base);
    return error == std::errc() && end == last && value >= 0 ? value : -1;
}

struct UsbPlace {
    fs::path interface; // empty if no interface lies between port and device
    fs::path device;    // empty if the port is on no USB device
};

// The USB interface and device above the port directory: the nearest
// directories with a bInterfaceNumber and an idVendor file, strictly inside
// root.
UsbPlace usbPlaceAbove(const fs::path& port, const fs::path& root) {
    UsbPlace place;
    for (fs::path dir = port; dir != root && isWithin(dir, root); dir = dir.parent_path()) {
        if (isRegularFile(dir / "idVendor")) {
            place.device = dir;
            break;
        }
        if (place.interface.empty() && isRegularFile(dir / "bInterfaceNumber")) {
            place.interface = dir;
        }
    }
    return place;
}

// The port's description as FTDI's D2XX library gives it: the product
// string, and on a chip with several serial channels (FT2232, FT4232: one USB
// interface per channel) a space and the channel's letter, "A" for interface
// 0, "B" for interface 1 and so on. So "dimsal" finds no channel of a dual
// chip and "dimsal A" finds its first, on Linux as with the vendor's library.
// A channel that cannot be told gets no description rather than a guess.
std::string describe(const UsbPlace& place) {
    const std::string product = readSysfsAttribute(place.device / "product");
    if (product.empty() || readNumber(place.device / "bNumInterfaces", 10) <= 1) {
        return product;
    }
    const long channel =
        place.interface.empty() ? -1 : readNumber(place.interface / "bInterfaceNumber", 16);
    if (channel < 0 || channel >= 26) {
        return "";
    }
    return product + ' ' + static_cast<char>('A' + channel);
}

} // namespace

std::vector<UsbSerialDevice> findUsbSerialDevices(const std::string& sysfsRoot,
                                                  const std::string& devRoot,
                                                  std::error_code* error) {
    std::vector<UsbSerialDevice> devices;
    const fs::path root = resolvedPath(sysfsRoot);
    if (root.empty()) {
        return devices;
    }
    // The names first, with the directory closed before any file is read:
    // short of descriptors, one is enough.
    const fs::path classDir = fs::path(sysfsRoot) / "class" / "tty";
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(classDir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    if (ec && error != nullptr) {
        *error = ec;
    }
    for (const std::string& name : names) {
        if (usbSerialNumber(name).empty()) {
            continue;
        }
        const fs::path port = resolvedPath(classDir / name / "device");
        if (port.empty() || !isWithin(port, root)) {
            continue;
        }
        const UsbPlace place = usbPlaceAbove(port, root);
        if (place.device.empty()) {
            continue;
        }
        UsbSerialDevice device;
        device.name = name;
        device.node = devRoot + "/" + name;
        device.description = describe(place);
        device.driver = linkBasename(port / "driver");
        device.serial = readSysfsAttribute(place.device / "serial");
        device.usbPort = place.device.filename().string();
        devices.push_back(device);
    }
    std::sort(devices.begin(), devices.end(), numericallyBefore);
    return devices;
}
