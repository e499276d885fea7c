// The transmitter's line on a Linux serial port, set up the one way that
// both the link, which writes it, and rcdrive-monitor, which reads it, use.
#pragma once

#include <termios.h>

// The c_cflag bits that make up the framing, and the line's own framing and
// speed: 8 data bits, even parity, 1 stop bit, at kLineBaud (1200).
constexpr tcflag_t kFramingBits = CSIZE | PARENB | PARODD | CMSPAR | CSTOPB;
constexpr tcflag_t kLineFraming = CS8 | PARENB;
constexpr speed_t kLineSpeed = B1200;

// Replaces the framing in t.
void setFraming(termios* t, tcflag_t framing);

// Raw bytes, no flow control of either kind, modem lines ignored, reads
// that return at once; the framing and the speed in t are kept (cfmakeraw
// alone would force 8 bits without parity). Parity errors are ignored on
// input. DTR and RTS, raised by the driver at open, drop at close (HUPCL)
// whatever the last user left, so a transmitter wired to them sees the same
// on every run.
void makeRawLine(termios* t);

// Whether the port now runs t's framing and speeds, read back: tcsetattr
// succeeds when the driver took any part of a request, and a driver that
// cannot do some framing (a pty has no parity, for one) drops it silently.
// The line would then garble every byte while reporting success.
bool lineTook(int fd, const termios& t);
