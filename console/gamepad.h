// A gamepad as a second key source beside the keyboard: what it asks of the
// vehicle comes out as a PadCommand (console/gamepad_map.h), which the drive
// loop turns into the key codes of the key table. The pad never writes the
// drive state itself.
//
// At most one pad is used: the first one found. It is looked for at start
// and again as soon as one is plugged in; without one, nothing is read and
// nothing is polled.
#pragma once

#include "console/gamepad_map.h"

#include <cstdint>

// Starts looking for a pad. Safe to call where the platform has none.
void gamepadOpen();
void gamepadClose();

// What the pad asked for since the last call, merged into one command;
// false when it asked for nothing. Never waits.
bool gamepadTakeCommand(PadCommand* command);

// For the console's one wait. The pad's reports are read in when they
// arrive, so that the wait ends for them as it ends for a key.
#ifdef _WIN32
// When the pad is to be read next (monotonic ns): a winmm joystick has no
// event to wait on, so it is polled, faster than frames are sent.
std::int64_t gamepadPollDueNs();
#else
// The descriptors to watch: the pad's, and the watch on /dev/input for new
// ones; -1 for none. At most kGamepadFds.
constexpr int kGamepadFds = 2;
int gamepadFd(int index);
#endif
// Reads what the pad reported, and looks for a new pad when one may have
// come; never waits.
void gamepadPump();

// Where the devices are looked for: normally /sys and /dev (tests use fake
// trees). Takes effect at the next gamepadOpen().
void setGamepadRoots(const char* sysfsRoot, const char* devRoot);
