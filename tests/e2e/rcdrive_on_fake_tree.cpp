// rcdrive with the Linux D2XX layer looking at a fake sysfs and /dev tree
// instead of /sys and /dev, so that tests can give it a pseudo-terminal as
// its transmitter. A pseudo-terminal has no parity, so the line it gives
// cannot be set to 8E1 and rcdrive keeps prompting, as for any port that
// refuses the line; --parity-optional lets it drive one all the same.
//
//   rcdrive-on-fake-tree SYSFS_ROOT DEV_ROOT [--parity-optional]
#include "drive/drive_loop.h"
#include "link/d2xx_linux.h"
#include "process/signals.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    claimStandardDescriptors();
    const bool parityOptional = argc == 4 && std::strcmp(argv[3], "--parity-optional") == 0;
    if (argc != 3 && !parityOptional) {
        std::fprintf(stderr,
                     "usage: rcdrive-on-fake-tree SYSFS_ROOT DEV_ROOT [--parity-optional]\n");
        return 2;
    }
    setDeviceRoots(argv[1], argv[2]);
    setParityOptional(parityOptional);
    return runDrive();
}
