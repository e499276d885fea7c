// rcdrive-monitor --list: the USB serial devices of this machine, the one
// rcdrive would open, and why a device cannot be opened when it cannot.
#pragma once

#include <cstdio>
#include <string>

// Writes the list for the devices under sysfsRoot (normally /sys) with nodes
// under devRoot (normally /dev).
void printDeviceList(std::FILE* out, const std::string& sysfsRoot, const std::string& devRoot);
