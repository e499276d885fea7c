// The program's life: wait for the transmitter, drive, shut down.
#pragma once

// Runs rcdrive from start-up to shut-down and returns the exit status: 0
// after a quit key; after a request to end from outside, the platform's
// usual status for it (128 + the signal on POSIX).
int runDrive();
