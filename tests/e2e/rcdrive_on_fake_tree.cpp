// rcdrive with the Linux D2XX layer looking at a fake sysfs and /dev tree
// instead of /sys and /dev, so that tests can give it a port the kernel's
// own driver never would: a pseudo-terminal, which has no parity, so the
// line cannot be set to 8E1.
//
//   rcdrive-on-fake-tree SYSFS_ROOT DEV_ROOT
#include "drive/drive_loop.h"
#include "link/d2xx_linux.h"
#include "process/descriptors.h"

#include <cstdio>

int main(int argc, char** argv) {
    claimStandardDescriptors();
    if (argc != 3) {
        std::fprintf(stderr, "usage: rcdrive-on-fake-tree SYSFS_ROOT DEV_ROOT\n");
        return 2;
    }
    setDeviceRoots(argv[1], argv[2]);
    return runDrive();
}
