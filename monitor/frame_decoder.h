// Reads command frames back out of a stream of bytes taken off the line, as
// a receiver would: speed code, steering code, checksum, one frame after the
// other (link/wire_format.h).
//
// The three kinds of byte never overlap, so a frame can only start on a speed
// code, and a byte that is out of place shows at once. The decoder keeps a
// window of up to three bytes and skips its first byte, counting it, as soon
// as the window can no longer be the start of a frame: a first byte that is
// no speed code, a second that is no steering code, or a third that is not
// the checksum of the two (also counted as a bad checksum).
// A stream joined in the middle of a frame locks on after at most two bytes;
// a lost, added or garbled byte costs the one frame it hit and never the next
// one, and a noise byte that happens to be a speed code cannot swallow a real
// frame, because the real speed code that follows it is no steering code.
//
// When the input ends, the bytes still held (held > 0) are the start of a
// frame that was cut off: a speed code, or a speed and a steering code. They
// are neither a frame nor skipped; they stay out of both counts.
#pragma once

#include "trace/trace_format.h"

#include <cstddef>
#include <cstdint>

struct FrameDecoder {
    LineByte window[3] = {};
    std::size_t held = 0;           // bytes in the window: the start of a frame
    std::uint64_t frames = 0;       // valid frames found
    std::uint64_t skippedBytes = 0; // bytes skipped while looking for a frame
    std::uint64_t badChecksums = 0; // codes in place, checksum wrong
};

// Takes one byte. Returns true, with the frame in *frame, when this byte
// completed a valid frame; a byte completes at most one.
bool pushByte(FrameDecoder& decoder, const LineByte& byte, Frame* frame);

// Forgets a frame begun but not finished, without counting its bytes: for
// when the stream starts over.
void dropPartialFrame(FrameDecoder& decoder);
