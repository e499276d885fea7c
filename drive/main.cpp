// rcdrive: drives a radio-controlled vehicle from the keyboard through its
// USB transmitter. Takes no arguments.
#include "console/exit_signals.h"
#include "drive/drive_loop.h"

int main() {
    claimStandardDescriptors();
    return runDrive();
}
