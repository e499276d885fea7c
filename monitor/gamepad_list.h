// rcdrive-monitor --list, the gamepads: each one there, the one rcdrive
// drives with, and why one cannot be opened.
#pragma once

#include <cstdio>
#include <string>

// Writes the section for the input devices under sysfsRoot (normally /sys)
// with nodes under devRoot (normally /dev).
void printGamepadList(std::FILE* out, const std::string& sysfsRoot, const std::string& devRoot);
