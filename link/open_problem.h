// Why a transmitter that is there cannot be opened. The D2XX interface only
// says that an open failed; where the library can tell more (our Linux
// layer knows the node and the reason), the user is told, so that a device
// that is plugged in but unusable does not look exactly like a missing one.
#pragma once

#include <string>

// The line under the prompt, for the latest open by description that failed:
// on Linux "<node>: <reason>, see rcdrive-monitor --list" when a device with
// the description was there but could not be used ("/dev/ttyUSB0:
// Permission denied (group dialout)", "... held by another program", "...
// refuses 1200 baud 8E1"); on Windows when FTD2XX.dll cannot be loaded.
// Empty when no such device was there, when it opened, or when the library
// cannot tell.
std::string d2xxOpenProblem();
