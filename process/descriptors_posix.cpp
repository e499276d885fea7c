#include "process/descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void claimStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
            // open gives the lowest free number, which is this one.
            const int null = open("/dev/null", O_RDWR);
            if (null >= 0 && null != fd) {
                close(null);
            }
        }
    }
}

bool essentialDescriptorsFree() {
    int taken[kEssentialDescriptors];
    int count = 0;
    while (count < kEssentialDescriptors &&
           (taken[count] = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 0)) >= 0) {
        ++count;
    }
    for (int i = 0; i < count; ++i) {
        close(taken[i]);
    }
    return count == kEssentialDescriptors;
}
