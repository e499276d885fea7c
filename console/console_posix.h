// What the POSIX console's two halves share: the terminal and its input
// (console_posix.cpp), and the screen output (screen_posix.cpp).
//
// Nothing here may hold the drive loop. Input and output each go through a
// description of their own, opened non-blocking, so the flag never touches
// the ones the shell shares: another reader of the same terminal can take
// the bytes a wait saw arrive without leaving a read blocked. Where no such
// description can be had (a terminal that belongs to another user, after su;
// too few descriptors left), each read and write of the shared one is made
// with the flag set just for it.
//
// A job in the background neither reads its terminal nor changes its
// settings, nor writes to it when the terminal asks background jobs not to
// (stty tostop): the kernel would answer with SIGTTIN or SIGTTOU, and the
// program would be suspended where it can no longer be asked to end.
#pragma once

#include "process/descriptors.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

// How a standard stream is used without blocking: a terminal or a pipe
// opened again by name gives a description of our own, non-blocking
// (Private); sockets take MSG_DONTWAIT; anything else (a file, or a terminal
// or pipe that cannot be opened again) goes through the shared description,
// non-blocking for the moment of each read and write.
enum class StreamKind { Shared, Private, Socket };

// Sets up a standard stream for use without blocking; fd becomes the
// description to use.
inline StreamKind takeStream(int standardFd, int flags, int& fd) {
    fd = standardFd;
    struct stat st {};
    if (fstat(standardFd, &st) != 0) {
        return StreamKind::Shared;
    }
    if (S_ISSOCK(st.st_mode)) {
        return StreamKind::Socket;
    }
    if (!S_ISCHR(st.st_mode) && !S_ISFIFO(st.st_mode)) {
        return StreamKind::Shared;
    }
    const std::string path = "/proc/self/fd/" + std::to_string(standardFd);
    const int own = open(path.c_str(), flags | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (own < 0) {
        return StreamKind::Shared;
    }
    if (!essentialDescriptorsFree()) {
        close(own);
        return StreamKind::Shared;
    }
    fd = own;
    return StreamKind::Private;
}

inline void releaseStream(StreamKind& kind, int& fd, int standardFd) {
    if (kind == StreamKind::Private) {
        close(fd);
    }
    kind = StreamKind::Shared;
    fd = standardFd;
}

// Runs io() on a description others share, with O_NONBLOCK set for just that
// long: it cannot wait, and the others find the flags as they were.
template <typename Io> ssize_t withoutWaiting(int fd, Io io) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || (!(flags & O_NONBLOCK) && fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)) {
        return -1;
    }
    const ssize_t done = io();
    const int error = errno;
    if (!(flags & O_NONBLOCK)) {
        fcntl(fd, F_SETFL, flags);
    }
    errno = error;
    return done;
}

// Whether fd is our controlling terminal and another process group has it:
// then we are a job in the background.
inline bool inBackground(int fd) {
    const pid_t foreground = tcgetpgrp(fd);
    return foreground > 0 && foreground != getpgrp();
}

// The screen, kept from screenOpen() to screenClose(): the text since the
// last clear is drawn again, whole, once the output takes it after some of
// it was dropped (repairScreen). The wait watches screenRepairFd() for room,
// -1 while nothing is to be drawn again.
void screenOpen();
void screenClose();
int screenRepairFd();
void repairScreen();
