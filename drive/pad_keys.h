// What the gamepad asks, as key presses: the pad drives through the key
// table like the keyboard, so the limits and the steps hold for it too, and
// the status line shows its commands.
#pragma once

#include "console/gamepad_map.h"

#include <vector>

// The key codes that take the drive state from speedLevel and steerLevel to
// what the command asks: Esc for rest, then for each level set one arrow per
// step (224, then the arrow's code), as many as the distance.
std::vector<int> padKeyCodes(int speedLevel, int steerLevel, const PadCommand& command);
