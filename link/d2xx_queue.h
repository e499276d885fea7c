// How much of what the program handed over still waits below it, on its way
// to the line. The D2XX interface has no call for it; a library that can tell
// answers here (our Linux layer from the kernel's queue, the virtual
// transmitter from its chip), and one that cannot says so.
#pragma once

#include "link/d2xx.h"

// Bytes written through the handle that have not yet reached the line, as far
// as the library can see; -1 when it cannot tell.
int d2xxQueuedBytes(FT_HANDLE handle);
