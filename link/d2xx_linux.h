// Internals of the Linux D2XX layer, open to tests and to test programs that
// run it on a fake sysfs tree, and its reasons, open to rcdrive-monitor.
#pragma once

#include "link/d2xx.h"

#include <string>

// Where the layer looks for devices; /sys and /dev unless changed.
void setDeviceRoots(const std::string& sysfsRoot, const std::string& devRoot);

// The group that owns the node, by name, or by number where it has none;
// empty when the node cannot be looked at.
std::string portGroup(const std::string& node);

// "<node>: <why>" for an open of node that failed with errno error, as the
// prompt tells it: the group to be in for EACCES, "held by another
// program" for EBUSY.
std::string portOpenError(const std::string& node, int error);

// Opens node as FT_OpenEx would, sets it to 1200 baud 8E1 and closes it
// again: why rcdrive could not use it, as the prompt would tell it, or ""
// when it could. Like FT_OpenEx it raises the port's modem lines while it
// is open.
std::string portProblem(const std::string& node);
