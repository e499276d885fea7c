// Internals of the Linux D2XX layer, open to tests and to test programs that
// run it on a fake sysfs tree.
#pragma once

#include "link/d2xx.h"

#include <string>

// Where the layer looks for devices; /sys and /dev unless changed.
void setDeviceRoots(const std::string& sysfsRoot, const std::string& devRoot);

// FT_OpenEx by description, looking under the given roots.
FT_STATUS openByDescription(const char* description, const std::string& sysfsRoot,
                            const std::string& devRoot, FT_HANDLE* handle);
