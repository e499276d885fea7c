// The frame decoder on clean, cut and damaged streams. The damaged streams
// are built from a known list of frames, so every frame the decoder reports
// can be checked against what was really sent.
#include "tools/frame_decoder.h"

#include <gtest/gtest.h>

#include <random>

static bool operator==(const Frame& a, const Frame& b) {
    return a.speed == b.speed && a.steer == b.steer && a.checksum == b.checksum;
}

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

Frame frameOf(unsigned speed, unsigned steer) {
    return Frame{0, static_cast<std::uint8_t>(speed), static_cast<std::uint8_t>(steer),
                 static_cast<std::uint8_t>((speed + steer) % 256)};
}

Bytes bytesOf(const std::vector<Frame>& frames) {
    Bytes bytes;
    for (const Frame& f : frames) {
        bytes.insert(bytes.end(), {f.speed, f.steer, f.checksum});
    }
    return bytes;
}

// A drive that changes on every frame, so that a frame out of place or
// missing shows.
std::vector<Frame> variedDrive() {
    std::vector<Frame> frames;
    for (std::size_t i = 0; i < 12; ++i) {
        frames.push_back(
            frameOf(kSpeeds[(i * 7) % kSpeeds.size()], kSteers[(i * 5) % kSteers.size()]));
    }
    return frames;
}

struct Result {
    std::vector<Frame> frames;
    FrameDecoder decoder;
};

Result decode(const Bytes& bytes) {
    Result result;
    for (std::uint8_t byte : bytes) {
        Frame frame{};
        if (pushByte(result.decoder, LineByte{0, byte}, &frame)) {
            result.frames.push_back(frame);
        }
    }
    return result;
}

// The decoder reported every sent frame, or every one but the frame the
// damage hit (one of `hit`); nothing else, and in order.
::testing::AssertionResult allButOneOf(const std::vector<Frame>& got,
                                       const std::vector<Frame>& sent,
                                       std::vector<std::size_t> hit) {
    if (got == sent) {
        return ::testing::AssertionSuccess();
    }
    for (std::size_t lost : hit) {
        std::vector<Frame> expected = sent;
        if (lost < expected.size()) {
            expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(lost));
        }
        if (got == expected) {
            return ::testing::AssertionSuccess();
        }
    }
    return ::testing::AssertionFailure() << got.size() << " frames, not the " << sent.size()
                                         << " sent less at most one around the damage";
}

TEST(FrameDecoderClean, EveryCodePairRoundTrips) {
    std::vector<Frame> sent;
    for (unsigned speed : kSpeeds) {
        for (unsigned steer : kSteers) {
            sent.push_back(frameOf(speed, steer));
        }
    }
    Result r = decode(bytesOf(sent));
    EXPECT_TRUE(r.frames == sent);
    EXPECT_EQ(r.decoder.frames, sent.size());
    EXPECT_EQ(r.decoder.invalidBytes, 0u);
    EXPECT_EQ(r.decoder.badChecksums, 0u);
    EXPECT_EQ(r.decoder.held, 0u);
}

TEST(FrameDecoderJoin, LocksOnWhenJoinedMidFrame) {
    const Bytes rest = {0x80, 0x40, 0xC0, 0x80, 0x40, 0xC0, 0x80, 0x40, 0xC0};
    for (std::size_t start = 1; start < 3; ++start) {
        Result r = decode(Bytes(rest.begin() + static_cast<std::ptrdiff_t>(start), rest.end()));
        EXPECT_EQ(r.frames.size(), 2u) << start;
        EXPECT_EQ(r.decoder.invalidBytes, 3 - start);
        EXPECT_EQ(r.decoder.badChecksums, 0u);
    }
}

TEST(FrameDecoderJoin, NoiseSpeedCodeDoesNotSwallowTheFrameAfterIt) {
    Result r = decode({0xA5, 0x80, 0x40, 0xC0});
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.frames[0] == frameOf(0x80, 0x40));
    EXPECT_EQ(r.decoder.invalidBytes, 1u);

    r = decode({0xA5, 0x61, 0x80, 0x40, 0xC0}); // a speed and a steering code of noise
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.decoder.invalidBytes, 2u);
    EXPECT_EQ(r.decoder.badChecksums, 1u);

    r = decode({0x80, 0x40, 0xC1, 0xA1, 0x40, 0xE1}); // a bad checksum: all three skipped
    ASSERT_EQ(r.frames.size(), 1u);
    EXPECT_TRUE(r.frames[0] == frameOf(0xA1, 0x40));
    EXPECT_EQ(r.decoder.badChecksums, 1u);
    EXPECT_EQ(r.decoder.invalidBytes, 3u);
}

TEST(FrameDecoderJoin, WhateverComesFirstEveryFollowingFrameIsFound) {
    const std::vector<Frame> sent = variedDrive();
    const Bytes clean = bytesOf(sent);
    // Garbage leaning towards code values, the hardest kind to resynchronise on.
    std::vector<unsigned> likely = kSpeeds;
    likely.insert(likely.end(), kSteers.begin(), kSteers.end());
    likely.insert(likely.end(), {0xC0, 0xE1, 0x02, 0x12, 0xFF, 0x00});
    std::mt19937 random(12345);
    for (int trial = 0; trial < 3000; ++trial) {
        Bytes garbage(random() % 24);
        for (std::uint8_t& b : garbage) {
            b = static_cast<std::uint8_t>(random() % 2 ? likely[random() % likely.size()]
                                                       : random() % 256);
        }
        std::vector<Frame> expected = decode(garbage).frames;
        expected.insert(expected.end(), sent.begin(), sent.end());
        Bytes stream = garbage;
        stream.insert(stream.end(), clean.begin(), clean.end());
        Result r = decode(stream);
        ASSERT_TRUE(r.frames == expected) << "trial " << trial;
        ASSERT_EQ(r.decoder.held, 0u);
    }
}

TEST(FrameDecoderCutOff, UnfinishedFrameIsHeldNotCounted) {
    Result r = decode({0x80, 0x40, 0xC0, 0xA3, 0x62});
    EXPECT_EQ(r.frames.size(), 1u);
    EXPECT_EQ(r.decoder.held, 2u);
    EXPECT_EQ(r.decoder.invalidBytes, 0u);

    r = decode({0x80, 0x40, 0xC0, 0x62}); // no frame starts with a steering code
    EXPECT_EQ(r.decoder.held, 0u);
    EXPECT_EQ(r.decoder.invalidBytes, 1u);
}

TEST(FrameDecoderDamage, AnyAddedByteAnywhereCostsAtMostTheFrameItHit) {
    const std::vector<Frame> sent = variedDrive();
    const Bytes clean = bytesOf(sent);
    for (std::size_t at = 0; at <= clean.size(); ++at) {
        for (unsigned value = 0; value < 256; ++value) {
            Bytes stream = clean;
            stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at),
                          static_cast<std::uint8_t>(value));
            Result r = decode(stream);
            ASSERT_TRUE(allButOneOf(r.frames, sent, {at / 3, (at + 2) / 3 - 1}))
                << "byte " << value << " added at " << at;
        }
    }
}

TEST(FrameDecoderDamage, AnyLostByteCostsExactlyTheFrameItHit) {
    const std::vector<Frame> sent = variedDrive();
    const Bytes clean = bytesOf(sent);
    for (std::size_t at = 0; at < clean.size(); ++at) {
        Bytes stream = clean;
        stream.erase(stream.begin() + static_cast<std::ptrdiff_t>(at));
        Result r = decode(stream);
        std::vector<Frame> expected = sent;
        expected.erase(expected.begin() + static_cast<std::ptrdiff_t>(at / 3));
        ASSERT_TRUE(r.frames == expected) << "byte " << at << " lost";
        // The two bytes left are skipped, or held when the stream ends on them.
        EXPECT_EQ(r.decoder.invalidBytes + r.decoder.held, 2u);
    }
}

TEST(FrameDecoderDamage, AnyFlippedBitCostsAtMostTheFrameItHit) {
    const std::vector<Frame> sent = variedDrive();
    const Bytes clean = bytesOf(sent);
    for (std::size_t at = 0; at < clean.size(); ++at) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes stream = clean;
            stream[at] = static_cast<std::uint8_t>(stream[at] ^ (1u << bit));
            Result r = decode(stream);
            ASSERT_TRUE(allButOneOf(r.frames, sent, {at / 3}))
                << "bit " << bit << " of byte " << at;
            EXPECT_LT(r.frames.size(), sent.size()) << "a flipped bit always shows";
        }
    }
}

} // namespace
