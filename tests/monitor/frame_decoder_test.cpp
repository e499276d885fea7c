// The frame decoder on clean, cut and damaged streams. The damaged streams
// are built from a known list of frames, so every frame the decoder reports
// can be checked against what was really sent.
#include "monitor/frame_decoder.h"

#include <gtest/gtest.h>

#include <random>

namespace {

using Bytes = std::vector<std::uint8_t>;

// Zero, then steps 1..9 both ways: 0x80, 0x91..0x99, 0xA1..0xA9 for speed.
std::vector<unsigned> codes(unsigned zero, unsigned one, unsigned other) {
    std::vector<unsigned> all = {zero};
    for (unsigned n = 1; n <= 9; ++n) {
        all.insert(all.end(), {one + n, other + n});
    }
    return all;
}

const std::vector<unsigned> kSpeeds = codes(0x80, 0x90, 0xA0);
const std::vector<unsigned> kSteers = codes(0x40, 0x50, 0x60);

void addFrame(Bytes& bytes, unsigned speed, unsigned steer) {
    bytes.insert(bytes.end(), {static_cast<std::uint8_t>(speed), static_cast<std::uint8_t>(steer),
                               static_cast<std::uint8_t>((speed + steer) % 256)});
}

struct Result {
    Bytes frames; // the frames found, byte by byte
    FrameDecoder decoder;
};

Result decode(const Bytes& bytes) {
    Result result;
    for (std::uint8_t byte : bytes) {
        Frame f{};
        if (pushByte(result.decoder, LineByte{0, byte}, &f)) {
            result.frames.insert(result.frames.end(), {f.speed, f.steer, f.checksum});
        }
    }
    return result;
}

// A drive that changes on every frame, so that a frame out of place or
// missing shows.
Bytes variedDrive() {
    Bytes bytes;
    for (std::size_t i = 0; i < 12; ++i) {
        addFrame(bytes, kSpeeds[(i * 7) % kSpeeds.size()], kSteers[(i * 5) % kSteers.size()]);
    }
    return bytes;
}

// Joined mid-frame, noise, a bad checksum and a cut-off end: the frames
// found, the bytes skipped and the bytes held at the end.
TEST(FrameDecoderJoin, ShortStreamsLockOnSkipAndHold) {
    struct Case {
        Bytes stream;
        Bytes frames;
        std::uint64_t invalid, badChecksums, held;
    };
    const Bytes rest = {0x80, 0x40, 0xC0};
    const Bytes twoRests = {0x80, 0x40, 0xC0, 0x80, 0x40, 0xC0};
    const Case cases[] = {
        // Joined in the middle of a frame: the rest of it is skipped.
        {{0x40, 0xC0, 0x80, 0x40, 0xC0, 0x80, 0x40, 0xC0}, twoRests, 2, 0, 0},
        {{0xC0, 0x80, 0x40, 0xC0, 0x80, 0x40, 0xC0}, twoRests, 1, 0, 0},
        // The bases of the directions are no codes: A0 40 E0 is no frame.
        {{0xA0, 0x40, 0xE0, 0x90, 0x40, 0xD0, 0x80, 0x50, 0xD0, 0x80, 0x60, 0xE0}, {}, 12, 0, 0},
        // A noise speed code does not swallow the frame after it.
        {{0xA5, 0x80, 0x40, 0xC0}, rest, 1, 0, 0},
        {{0xA5, 0x61, 0x80, 0x40, 0xC0}, rest, 2, 1, 0},
        // A bad checksum: all three skipped.
        {{0x80, 0x40, 0xC1, 0xA1, 0x40, 0xE1}, {0xA1, 0x40, 0xE1}, 3, 1, 0},
        // An unfinished frame is held, not counted; no frame starts with a steering code.
        {{0x80, 0x40, 0xC0, 0xA3, 0x62}, rest, 0, 0, 2},
        {{0x80, 0x40, 0xC0, 0x62}, rest, 1, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.stream));
        const Result r = decode(c.stream);
        EXPECT_EQ(r.frames, c.frames);
        EXPECT_EQ(r.decoder.skippedBytes, c.invalid);
        EXPECT_EQ(r.decoder.badChecksums, c.badChecksums);
        EXPECT_EQ(r.decoder.held, c.held);
    }
}

TEST(FrameDecoderJoin, WhateverComesFirstEveryFollowingFrameIsFound) {
    const Bytes sent = variedDrive();
    // Garbage leaning towards code values, the hardest kind to resynchronise on.
    std::vector<unsigned> likely = kSpeeds;
    likely.insert(likely.end(), kSteers.begin(), kSteers.end());
    likely.insert(likely.end(), {0xC0, 0xE1, 0x02, 0x12, 0xFF, 0x00});
    std::mt19937 random(12345);
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes stream(random() % 24);
        for (std::uint8_t& b : stream) {
            b = static_cast<std::uint8_t>(random() % 2 ? likely[random() % likely.size()]
                                                       : random() % 256);
        }
        Bytes expected = decode(stream).frames;
        expected.insert(expected.end(), sent.begin(), sent.end());
        stream.insert(stream.end(), sent.begin(), sent.end());
        const Result r = decode(stream);
        ASSERT_EQ(r.frames, expected) << "trial " << trial;
        ASSERT_EQ(r.decoder.held, 0u);
    }
}

// Whether the decoder found every sent frame, or all but one of those that
// hold sent bytes `first` to `last` (where the damage is), and nothing else,
// in order. When the damage must `show`, one of them is lost.
bool lostAtMostOneOf(const Bytes& got, const Bytes& sent, std::size_t first, std::size_t last,
                     bool show) {
    if (got == sent) {
        return !show;
    }
    for (std::size_t frame = first / 3; frame <= last / 3 && frame < sent.size() / 3; ++frame) {
        Bytes expected = sent;
        const auto start = expected.begin() + static_cast<std::ptrdiff_t>(frame * 3);
        expected.erase(start, start + 3);
        if (got == expected) {
            return true;
        }
    }
    return false;
}

// A byte added anywhere, with any value, may be passed over; a byte lost or a
// bit flipped always costs the one frame it hit.
TEST(FrameDecoderDamage, AnyAddedLostOrFlippedByteCostsAtMostTheFrameItHit) {
    const Bytes sent = variedDrive();
    for (std::size_t at = 0; at <= sent.size(); ++at) {
        const auto offset = static_cast<std::ptrdiff_t>(at);
        for (unsigned value = 0; value < 256; ++value) {
            Bytes stream = sent;
            stream.insert(stream.begin() + offset, static_cast<std::uint8_t>(value));
            ASSERT_TRUE(lostAtMostOneOf(decode(stream).frames, sent,
                                        std::max<std::size_t>(at, 1) - 1, at, false))
                << "byte " << value << " added at " << at;
        }
        if (at == sent.size()) {
            break;
        }
        Bytes stream = sent;
        stream.erase(stream.begin() + offset);
        const Result r = decode(stream);
        ASSERT_TRUE(lostAtMostOneOf(r.frames, sent, at, at, true)) << "byte " << at << " lost";
        // The two bytes left are skipped, or held when the stream ends on them.
        EXPECT_EQ(r.decoder.skippedBytes + r.decoder.held, 2u);
        for (int bit = 0; bit < 8; ++bit) {
            stream = sent;
            stream[at] = static_cast<std::uint8_t>(stream[at] ^ (1u << bit));
            ASSERT_TRUE(lostAtMostOneOf(decode(stream).frames, sent, at, at, true))
                << "bit " << bit << " of byte " << at;
        }
    }
}

} // namespace
