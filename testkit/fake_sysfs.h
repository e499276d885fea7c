// Fake sysfs and /dev trees under a temporary directory, laid out like the
// real ones: directories, attribute files and relative symlinks.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

struct FakeTree {
    std::string top; // the temporary directory; sys and dev are inside
    std::string sys;
    std::string dev;
};

inline void makeDirs(const std::string& path) {
    std::filesystem::create_directories(path);
}

inline void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
}

inline FakeTree makeFakeTree() {
    char name[] = "/tmp/rcdrive-sysfs-XXXXXX";
    FakeTree tree;
    if (mkdtemp(name) != nullptr) {
        tree.top = name;
        tree.sys = tree.top + "/sys";
        tree.dev = tree.top + "/dev";
        makeDirs(tree.sys + "/class/tty");
        makeDirs(tree.dev);
    }
    return tree;
}

// Symlinks are removed, never followed.
inline void removeFakeTree(const FakeTree& tree) {
    if (!tree.top.empty()) {
        std::filesystem::remove_all(tree.top);
    }
}

// A USB device directory (relative to sys) with idVendor, bNumInterfaces
// and, unless product is null, a product file holding product as written.
inline void addUsbDevice(const FakeTree& tree, const std::string& dir, const char* product,
                         int interfaces = 1) {
    makeDirs(tree.sys + "/" + dir);
    writeFile(tree.sys + "/" + dir + "/idVendor", "0403\n");
    char count[16];
    std::snprintf(count, sizeof count, "%2d\n", interfaces);
    writeFile(tree.sys + "/" + dir + "/bNumInterfaces", count);
    if (product != nullptr) {
        writeFile(tree.sys + "/" + dir + "/product", product);
    }
}

// A tty named name whose device is the port directory portDir (relative to
// sys): class/tty/<name> -> <portDir>/tty/<name>, whose `device` link leads
// back to portDir; portDir/driver links to the driver when one is given.
inline void addTty(const FakeTree& tree, const std::string& name, const std::string& portDir,
                   const std::string& driver = "") {
    const std::string ttyDir = portDir + "/tty/" + name;
    makeDirs(tree.sys + "/" + ttyDir);
    symlink(("../../" + ttyDir).c_str(), (tree.sys + "/class/tty/" + name).c_str());
    const std::string portName = portDir.substr(portDir.rfind('/') + 1);
    symlink(("../../../" + portName).c_str(), (tree.sys + "/" + ttyDir + "/device").c_str());
    if (!driver.empty()) {
        const std::string driverDir = "bus/usb-serial/drivers/" + driver;
        makeDirs(tree.sys + "/" + driverDir);
        const std::filesystem::path target = tree.sys + "/" + driverDir;
        symlink(target.lexically_relative(tree.sys + "/" + portDir).c_str(),
                (tree.sys + "/" + portDir + "/driver").c_str());
    }
}

// A USB serial port as the kernel lays out an FTDI chip plugged into port
// `usbPort` of bus 1 (its USB device in usbDeviceDir(usbPort)): the port sits in USB interface
// `channel` of the chip's `channels` (1 for a single-channel chip, 2 for an FT2232, ...). Ports
// added with the same usbPort share one USB device.
inline std::string usbDeviceDir(int usbPort) {
    return "devices/pci0000:00/0000:00:14.0/usb1/1-" + std::to_string(usbPort);
}

inline void addUsbSerial(const FakeTree& tree, const std::string& name, const char* product,
                         int usbPort, int channel = 0, int channels = 1) {
    const std::string usb = usbDeviceDir(usbPort);
    addUsbDevice(tree, usb, product, channels);
    const std::string iface =
        usb + "/1-" + std::to_string(usbPort) + ":1." + std::to_string(channel);
    makeDirs(tree.sys + "/" + iface);
    char number[16];
    std::snprintf(number, sizeof number, "%02x\n", channel);
    writeFile(tree.sys + "/" + iface + "/bInterfaceNumber", number);
    addTty(tree, name, iface + "/" + name, "ftdi_sio");
}

// An input device eventN (class/input/eventN, its `device` link to the input
// device) with its name and its key and axis bitmaps as sysfs writes them.
inline void addInputDevice(const FakeTree& tree, const std::string& event, const std::string& name,
                           const std::string& keyBits, const std::string& absBits) {
    const std::string device = "devices/virtual/input/input-" + event;
    makeDirs(tree.sys + "/" + device + "/capabilities");
    writeFile(tree.sys + "/" + device + "/name", name + "\n");
    writeFile(tree.sys + "/" + device + "/capabilities/key", keyBits + "\n");
    writeFile(tree.sys + "/" + device + "/capabilities/abs", absBits + "\n");
    makeDirs(tree.sys + "/" + device + "/" + event);
    makeDirs(tree.sys + "/class/input");
    symlink(("../../" + device + "/" + event).c_str(),
            (tree.sys + "/class/input/" + event).c_str());
    symlink("..", (tree.sys + "/" + device + "/" + event + "/device").c_str());
}

// The key bitmap of a gamepad with the usual buttons (BTN_SOUTH to BTN_THUMBR).
constexpr const char* kPadKeyBits = "7cdb000000000000 0 0 0 0";
