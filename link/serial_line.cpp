#include "link/serial_line.h"

void setFraming(termios* t, tcflag_t framing) {
    t->c_cflag = (t->c_cflag & ~kFramingBits) | framing;
}

void makeRawLine(termios* t) {
    const tcflag_t framing = t->c_cflag & kFramingBits;
    cfmakeraw(t);
    setFraming(t, framing);
    t->c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    t->c_iflag |= IGNPAR;
    t->c_cflag &= ~CRTSCTS;
    t->c_cflag |= CLOCAL | CREAD | HUPCL;
    t->c_cc[VMIN] = 0;
    t->c_cc[VTIME] = 0;
}

bool lineTook(int fd, const termios& t) {
    termios got{};
    return tcgetattr(fd, &got) == 0 && (got.c_cflag & kFramingBits) == (t.c_cflag & kFramingBits) &&
           cfgetospeed(&got) == cfgetospeed(&t) && cfgetispeed(&got) == cfgetispeed(&t);
}
