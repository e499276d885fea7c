// The transmitter behind its USB serial chip: opening it, setting the line,
// and the command frames that travel over it.
//
// The link never waits on its own while driving: the drive loop asks when
// the next byte is due (byteDueNs) and hands it over then (streamByte), so
// that it can take keys in the meantime. Only sendFrame and waitUntilSent
// wait, to leave the vehicle at rest before the end or a suspend.
//
// There is one transmitter link in the process; a loss shows only in
// transmitterLost().
#pragma once

#include "link/d2xx.h"
#include "link/wire_format.h"

#include <cstdint>

// The transmitter counts as gone when writes keep failing: a frame's worth
// of them in a row, paced as bytes are, so over more than a byte time. A
// stray failure, or a line held up for a moment, is no lost device; the
// failed byte is written again.
constexpr int kFailedWritesWhenLost = 3;
constexpr std::int64_t kFailingWhenLostNs = kNominalByteNs;

// How long sendFrame keeps writing again a byte that fails or is held.
constexpr std::int64_t kFrameRetryLimitNs = 500 * 1000000LL;

// More than this many bytes waiting below the program (in the driver, in a
// USB transfer) means that the device has stopped taking them: the next byte
// is held until it takes them again, so that a stall costs a pause and never
// leaves a backlog of stale commands behind it.
constexpr int kMostQueuedBelow = 1;
// How often the queue is looked at again while a byte is held.
constexpr std::int64_t kHeldLookNs = 4 * 1000000LL;
// A device that takes nothing for this long counts as lost; a shorter stall
// is a pause, after which driving goes on with the command then in force.
constexpr std::int64_t kStallLostNs = 3000 * 1000000LL;

// One open attempt by description; never waits and writes nothing.
FT_STATUS openTransmitter();

// 1200 baud, 8 data bits, one stop bit, even parity. False if the device
// refused either setting: frames at another rate or framing would reach the
// vehicle as garbage.
bool configureLine();

// Whether a device is open.
bool transmitterOpen();

// When the next byte may be handed over without running ahead of the line
// (monotonic ns); now or earlier when it may go at once. While the device
// takes nothing, a moment from now, when the queue below is looked at again.
std::int64_t byteDueNs();

// Hands over the next byte of the stream now, in a write call of its own. A
// new frame takes the codes given, as they are at that moment; its other two
// bytes follow whatever the codes are by then, so that every frame leaves
// whole. A byte whose write fails is the next one handed over again.
void streamByte(int speedCode, int steerCode);

// Whether a frame has been begun and not finished.
bool frameUnfinished();

// Finishes the frame begun, then sends speed code, steering code and
// checksum, each byte when it is due, a failed one written again, for up to
// kFrameRetryLimitNs in all. Waits. True once the frame is out whole.
bool sendFrame(int speedCode, int steerCode);

// Waits until the bytes handed over have left the line, by the pacer's
// reckoning, and a little more for the USB transfer: a driver that drops
// unsent bytes when it is closed then cannot lose them.
void waitUntilSent();

// True once kFailedWritesWhenLost writes in a row have failed, or the device
// has taken nothing for kStallLostNs.
bool transmitterLost();

// Whether the device is lost although it opened: it has taken nothing for
// kStallLostNs, or its writes failed before it took a single byte.
bool transmitterTakesNoData();

// Closes the device; later calls do nothing.
void closeTransmitter();

// Writes are paced to the line unless this is turned off (for comparison).
void setPacing(bool paced);
