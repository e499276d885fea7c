// Finds the USB serial devices (ttyUSB*, the kernel's USB serial driver) and
// what their USB descriptors say, from sysfs. Shared by the Linux D2XX layer
// and rcdrive-monitor, so both see the same devices.
#pragma once

#include <string>
#include <system_error>
#include <vector>

struct UsbSerialDevice {
    std::string name; // ttyUSB0
    std::string node; // <devRoot>/ttyUSB0
    // The USB product string, with " A", " B", ... for the channels of a chip
    // that has several (as the vendor's D2XX library names them); "" if the
    // device has no product string.
    std::string description;
    std::string driver;  // the kernel driver, ftdi_sio for instance; "" if unknown
    std::string serial;  // the USB serial number string; "" if the device has none
    std::string usbPort; // where the USB device is plugged in: its sysfs name, 1-2 or 1-1.4
};

// Every USB serial device under sysfsRoot (normally /sys), in numeric order
// (ttyUSB2 before ttyUSB10). Nodes are named under devRoot (normally /dev).
// One descriptor at a time is enough. If the list of ttys cannot be read,
// *error (when given) says why.
std::vector<UsbSerialDevice> findUsbSerialDevices(const std::string& sysfsRoot,
                                                  const std::string& devRoot,
                                                  std::error_code* error = nullptr);
