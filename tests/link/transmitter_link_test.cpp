#include "link/pacer.h"
#include "link/transmitter_link.h"
#include "process/clock.h"
#include "testkit/fake_d2xx.h"

#include <gtest/gtest.h>

namespace {

void freshLink() {
    closeTransmitter();
    fakeD2xx = FakeD2xx();
    setPacing(false);
}

TEST(CommandFrame, ChecksumIsTheLowByteOfTheSum) {
    EXPECT_EQ(frameBytes(0x80, 0x40), (std::array<std::uint8_t, 3>{0x80, 0x40, 0xC0}));
    EXPECT_EQ(frameBytes(0xA1, 0x40), (std::array<std::uint8_t, 3>{0xA1, 0x40, 0xE1}));
    EXPECT_EQ(frameBytes(0xA9, 0x69), (std::array<std::uint8_t, 3>{0xA9, 0x69, 0x12}));
    EXPECT_EQ(frameBytes(0x99, 0x59), (std::array<std::uint8_t, 3>{0x99, 0x59, 0xF2}));
}

TEST(TransmitterLink, OpensDimsalByDescription) {
    freshLink();
    fakeD2xx.openStatus = FT_DEVICE_NOT_FOUND;
    EXPECT_EQ(openTransmitter(), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(transmitterLink.openStatus, FT_DEVICE_NOT_FOUND);
    fakeD2xx.openStatus = FT_OK;
    EXPECT_EQ(openTransmitter(), FT_OK);
    ASSERT_EQ(fakeD2xx.calls.size(), 2u);
    for (const FakeD2xxCall& call : fakeD2xx.calls) {
        EXPECT_EQ(call.name, "open");
        EXPECT_EQ(call.text, "dimsal");
        EXPECT_EQ(call.args, std::vector<unsigned>{2});
    }
    EXPECT_EQ(transmitterLink.deviceHandle, &fakeDeviceHandle);
}

TEST(TransmitterLink, NothingReachesTheLibraryWithoutAnOpenDevice) {
    freshLink();
    fakeD2xx.openStatus = FT_DEVICE_NOT_OPENED;
    openTransmitter();
    configureLine();
    sendFrame(0x80, 0x40);
    closeTransmitter();
    ASSERT_EQ(fakeD2xx.calls.size(), 1u);
    EXPECT_EQ(fakeD2xx.calls[0].name, "open");
}

TEST(TransmitterLink, LineSettingsThenOneByteWritesThenOneClose) {
    freshLink();
    openTransmitter();
    configureLine();
    sendFrame(0xA9, 0x69);
    sendByte(0x1C0); // only the low 8 bits go out
    closeTransmitter();
    closeTransmitter();

    const auto& calls = fakeD2xx.calls;
    ASSERT_EQ(calls.size(), 1u + 2u + 4u + 1u);
    EXPECT_EQ(calls[1].name, "baud");
    EXPECT_EQ(calls[1].args, std::vector<unsigned>{1200});
    EXPECT_EQ(calls[2].name, "data");
    EXPECT_EQ(calls[2].args, (std::vector<unsigned>{8, 0, 2}));
    for (std::size_t i = 3; i < 7; ++i) {
        EXPECT_EQ(calls[i].name, "write");
        EXPECT_EQ(calls[i].args[0], 1u) << "one byte per write call";
        EXPECT_EQ(calls[i].handle, &fakeDeviceHandle);
    }
    EXPECT_EQ(fakeWrittenBytes(), (std::vector<unsigned>{0xA9, 0x69, 0x12, 0xC0}));
    EXPECT_EQ(calls.back().name, "close");
}

// A byte whose write fails is written again, so frames reach the line whole
// however the failures fall; only failures that last count as a lost device.
TEST(TransmitterLink, AFailedByteIsWrittenAgainAndOnlyLastingFailuresAreALostDevice) {
    freshLink();
    openTransmitter();
    const FT_STATUS failed = FT_IO_ERROR;
    fakeD2xx.writeScript = {FT_OK, failed, FT_OK, failed, failed, FT_OK};
    EXPECT_TRUE(sendFrame(0xA1, 0x40));
    EXPECT_TRUE(sendFrame(0x80, 0x40));
    EXPECT_EQ(fakeWrittenBytes(), (std::vector<unsigned>{0xA1, 0x40, 0xE1, 0x80, 0x40, 0xC0}));
    EXPECT_FALSE(transmitterLost());

    // Three failures at once are a moment's hold-up; failing on for more
    // than a byte time, the device is gone. One success ends the count.
    fakeD2xx.writeStatus = failed;
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(streamByte(0x80, 0x40), failed);
    }
    EXPECT_FALSE(transmitterLost());
    sleepNs(2 * kNominalByteNs);
    streamByte(0x80, 0x40);
    EXPECT_TRUE(transmitterLost());
    fakeD2xx.writeStatus = FT_OK;
    streamByte(0x80, 0x40);
    EXPECT_FALSE(transmitterLost());

    // A frame is tried for half a second: long enough for a line held up a
    // while, and no longer.
    setPacing(true);
    fakeD2xx.writeScript.assign(20, failed);
    EXPECT_TRUE(sendFrame(0x80, 0x40));
    fakeD2xx.writeStatus = failed;
    const std::int64_t start = monotonicNs();
    EXPECT_FALSE(sendFrame(0x80, 0x40));
    EXPECT_NEAR(monotonicNs() - start, kFrameRetryLimitNs, 30 * kNsPerMs);
    closeTransmitter();
}

TEST(TransmitterLink, ALineThatIsRefusedIsNotConfigured) {
    for (auto [baud, data] : {std::pair<FT_STATUS, FT_STATUS>{FT_OK, FT_OK},
                              {FT_IO_ERROR, FT_OK},
                              {FT_OK, FT_INVALID_PARAMETER}}) {
        freshLink();
        fakeD2xx.baudStatus = baud;
        fakeD2xx.dataStatus = data;
        openTransmitter();
        EXPECT_EQ(configureLine(), baud == FT_OK && data == FT_OK);
        closeTransmitter();
    }
}

// A frame takes the codes as they are when its first byte goes, and leaves
// whole whatever the codes are by its second and third.
TEST(TransmitterLink, StreamedFramesLeaveWhole) {
    freshLink();
    openTransmitter();
    streamByte(0xA1, 0x40);
    EXPECT_TRUE(frameUnfinished());
    streamByte(0x80, 0x40);
    streamByte(0x99, 0x69);
    EXPECT_FALSE(frameUnfinished());
    streamByte(0x99, 0x69);
    // Shut down mid-frame: the frame is finished, then the rest frame.
    sendFrame(0x80, 0x40);
    EXPECT_EQ(fakeWrittenBytes(),
              (std::vector<unsigned>{0xA1, 0x40, 0xE1, 0x99, 0x69, 0x02, 0x80, 0x40, 0xC0}));
    closeTransmitter();
}

TEST(TransmitterLink, PacedWritesKeepToTheLineRate) {
    freshLink();
    openTransmitter();
    setPacing(true);
    const std::int64_t start = monotonicNs();
    for (int i = 0; i < 4; ++i) {
        sendFrame(0x80, 0x40);
    }
    const std::int64_t elapsed = monotonicNs() - start;
    waitUntilSent();
    const std::int64_t sent = monotonicNs() - start;
    setPacing(false);
    closeTransmitter();
    // 12 bytes: the first goes at once, the others one line byte time apart
    // once the lead is used up; the close waits until the last has left.
    EXPECT_GE(elapsed, 10 * kNominalByteNs);
    EXPECT_LT(elapsed, 20 * kNominalByteNs);
    EXPECT_GE(sent, 12 * kNominalByteNs);
    EXPECT_LT(sent, 20 * kNominalByteNs);
}

} // namespace
