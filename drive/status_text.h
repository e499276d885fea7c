// The status line's words: which way the vehicle is driven and steered, in
// Czech, for a pair of command codes.
#pragma once

#include <string>

// The status text for a pair of codes, with the two magnitudes filled in,
// e.g. " Vpred: 3, Vlevo: 2\n". Empty when the pair matches no row.
std::string statusText(int speedCode, int steerCode, int speedMagnitude, int steerMagnitude);
