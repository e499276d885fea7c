// A gamepad made through the kernel's uinput, for the kernel test's operator:
// a left stick (ABS_X, ABS_Y, -32768..32767), the shoulder buttons and A.
#pragma once

#include <string>

// Creates the pad; false with *error if uinput refuses.
bool padCreate(std::string* error);

// One report: comma-separated changes, each L or R (a shoulder button) with
// 1 or 0, or X or Y with a value: "L1,Y-32768". False if a change is not one
// of these or the write fails.
bool padReport(const std::string& changes);

// Unplugs the pad.
void padRemove();
