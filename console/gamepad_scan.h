// Finds the gamepads among the kernel's input devices (/dev/input/event*),
// from what sysfs says each one reports, so that a pad is recognised without
// opening it. Shared by rcdrive and rcdrive-monitor, so both see the same
// pads.
#pragma once

#include <string>
#include <vector>

struct GamepadDevice {
    std::string name;  // event3
    std::string node;  // <devRoot>/input/event3
    std::string label; // the device's own name, "Wireless Controller"
};

// Every input device under sysfsRoot (normally /sys) that is a gamepad, in
// numeric order (event2 before event10); nodes named under devRoot.
std::vector<GamepadDevice> findGamepads(const std::string& sysfsRoot, const std::string& devRoot);

// Whether a device whose capability bitmaps read as given is a gamepad: it
// reports a left stick (ABS_X and ABS_Y) and shoulder buttons (BTN_TL or
// BTN_TR) or the gamepad button block (BTN_GAMEPAD). The bitmaps are as
// sysfs writes them: hex words of longBits bits, the most significant first.
bool reportsGamepad(const std::string& keyBits, const std::string& absBits, int longBits);
