// rcdrive: drives a radio-controlled vehicle from the keyboard through its
// USB transmitter. Takes no arguments.
#include "drive/drive_loop.h"
#include "process/signals.h"

int main() {
    claimStandardDescriptors();
    exitProcess(runDrive());
}
