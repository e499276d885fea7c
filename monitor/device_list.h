// rcdrive-monitor --list: the USB serial devices of this machine, the one
// rcdrive would open, and why a device cannot be opened when it cannot.
#pragma once

#include <cstdio>
#include <string>

// Text that came from a device (a product string, a pad's name) as shown:
// no control character of it reaches the terminal.
std::string printable(const std::string& text);

// Writes the list for the devices under sysfsRoot (normally /sys) with nodes
// under devRoot (normally /dev).
void printDeviceList(std::FILE* out, const std::string& sysfsRoot, const std::string& devRoot);
