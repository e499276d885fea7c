// Reads command frames back out of a stream of bytes taken off the line, as
// a receiver would: speed code, steering code, checksum, one frame after the
// other.
//
// The three kinds of byte never overlap: speed codes are 0x80 and
// 0x91..0xA9, steering codes 0x40..0x69, and checksums of valid pairs come
// out as 0xC0..0xFF or 0x00..0x12. So a frame can only start on a speed code,
// and a byte that is out of place shows at once. The decoder keeps a window
// of up to three bytes and drops its first byte, counting it as invalid, as
// soon as the window can no longer be the start of a frame: a first byte that
// is no speed code, a second that is no steering code, or a third that is not
// the checksum of the two (also counted as a bad checksum). A stream joined
// in the middle of a frame locks on after at most two bytes; a lost, added or
// garbled byte costs the one frame it hit and never the next one, and a noise
// byte that happens to be a speed code cannot swallow a real frame, because
// the real speed code that follows it is no steering code.
//
// When the input ends, the bytes still held (held > 0) are the start of a
// frame that was cut off: a speed code, or a speed and a steering code. They
// are neither a frame nor invalid; they stay out of both counts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

struct Frame {
    std::uint8_t speed;
    std::uint8_t steer;
    std::uint8_t checksum;
};

struct FrameDecoder {
    std::uint8_t window[3] = {};
    std::size_t held = 0;           // bytes in the window: the start of a frame
    std::uint64_t frames = 0;       // valid frames found
    std::uint64_t invalidBytes = 0; // bytes dropped while looking for a frame
    std::uint64_t badChecksums = 0; // codes in place, checksum wrong
};

bool isSpeedCode(unsigned byte);
bool isSteerCode(unsigned byte);
std::uint8_t frameChecksum(unsigned speed, unsigned steer);

// The step of a code, 0..9: its low four bits (0 for stop and straight).
int codeMagnitude(unsigned code);

// Takes one byte. Returns true, with the frame in *frame, when this byte
// completed a valid frame; a byte completes at most one.
bool pushByte(FrameDecoder& decoder, std::uint8_t byte, Frame* frame);

// Takes a run of bytes and appends the frames they complete.
void decodeBytes(FrameDecoder& decoder, const std::uint8_t* bytes, std::size_t count,
                 std::vector<Frame>& frames);

// Forgets a frame begun but not finished, without counting its bytes: for
// when the stream starts over.
void dropPartialFrame(FrameDecoder& decoder);
