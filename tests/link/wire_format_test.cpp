// The wire format, written out here as literal bytes.
#include "link/wire_format.h"

#include <gtest/gtest.h>

#include <set>

namespace {

using Bytes = std::array<std::uint8_t, kFrameBytes>;

// The checksum is the low byte of the sum; only a code's low byte goes out.
TEST(WireFormat, AFrameIsBothCodesAndTheLowByteOfTheirSum) {
    EXPECT_EQ(frameBytes(0x80, 0x40), (Bytes{0x80, 0x40, 0xC0}));
    EXPECT_EQ(frameBytes(0xA1, 0x40), (Bytes{0xA1, 0x40, 0xE1}));
    EXPECT_EQ(frameBytes(0xA9, 0x69), (Bytes{0xA9, 0x69, 0x12}));
    EXPECT_EQ(frameBytes(0x99, 0x59), (Bytes{0x99, 0x59, 0xF2}));
    EXPECT_EQ(frameBytes(0x1A9, 0x269), (Bytes{0xA9, 0x69, 0x12}));
}

// Every byte value against the codes listed; a direction's base byte alone
// (0x90, 0xA0, 0x50, 0x60) is no code, so A0 40 E0 is no frame.
TEST(WireFormat, OnlyTheCodesOfTheEncodingAreCodes) {
    const std::set<unsigned> speedCodes = {0x80, 0x91, 0x92, 0x93, 0x94, 0x95, 0x96,
                                           0x97, 0x98, 0x99, 0xA1, 0xA2, 0xA3, 0xA4,
                                           0xA5, 0xA6, 0xA7, 0xA8, 0xA9};
    const std::set<unsigned> steerCodes = {0x40, 0x51, 0x52, 0x53, 0x54, 0x55, 0x56,
                                           0x57, 0x58, 0x59, 0x61, 0x62, 0x63, 0x64,
                                           0x65, 0x66, 0x67, 0x68, 0x69};
    for (unsigned byte = 0; byte < 256; ++byte) {
        EXPECT_EQ(isSpeedCode(byte), speedCodes.count(byte) == 1) << byte;
        EXPECT_EQ(isSteerCode(byte), steerCodes.count(byte) == 1) << byte;
    }
    EXPECT_TRUE(isValidFrame(0xA1, 0x40, 0xE1));
    EXPECT_FALSE(isValidFrame(0xA1, 0x40, 0xE2));
    EXPECT_FALSE(isValidFrame(0xA0, 0x40, 0xE0));
}

} // namespace
