// Who else has a device open, as fuser(1) finds it: the processes whose open
// files, under /proc, include it. Only the processes /proc lets this user
// look into can be seen.
#pragma once

#include <string>

// "picocom (pid 4242)", or several such joined by ", ", for the processes
// other than this one that have path open; empty if /proc shows none.
std::string portHolders(const std::string& path);
