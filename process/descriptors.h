// The process's descriptors: the standard ones claimed, and two kept free for
// the transmitter.
#pragma once

// Opens /dev/null onto any of descriptors 0, 1 and 2 that is closed, so that
// nothing opened later takes their numbers: screen text must never reach
// the transmitter or a trace, and the transmitter's bytes never the keys.
// Call it first thing in main. Windows hands a process valid standard
// handles or none at all, and a missing one never lends its number to
// something opened later: nothing to do there.
#ifdef _WIN32
inline void claimStandardDescriptors() {}
#else
void claimStandardDescriptors();
#endif

// Descriptors kept free, when they run short, for what the program cannot
// do without: the transmitter's, and one to look for it. The wake-up pipe
// and the console's own descriptors are conveniences, and give way.
constexpr int kEssentialDescriptors = 2;

// Whether kEssentialDescriptors more could still be opened (POSIX).
bool essentialDescriptorsFree();
