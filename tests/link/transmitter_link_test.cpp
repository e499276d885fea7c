#include "link/pacer.h"
#include "link/transmitter_link.h"
#include "process/clock.h"
#include "testkit/fake_d2xx.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace {

// The link's state is process-wide: each test starts closed, unpaced, on a
// fresh recording library.
class TransmitterLinkTest : public testing::Test {
  protected:
    void SetUp() override {
        closeTransmitter();
        fakeD2xx = FakeD2xx();
        setPacing(false);
    }
    void TearDown() override { closeTransmitter(); }
};

std::vector<std::string> callNames() {
    std::vector<std::string> names;
    for (const FakeD2xxCall& call : fakeD2xx.calls) {
        names.push_back(call.name);
    }
    return names;
}

// Nothing but the open reaches the library until an open succeeds; then the
// line settings, one write call per byte, and one close.
TEST_F(TransmitterLinkTest, OpensDimsalThenSetsTheLineWritesByteByByteAndClosesOnce) {
    fakeD2xx.openStatus = FT_DEVICE_NOT_FOUND;
    EXPECT_EQ(openTransmitter(), FT_DEVICE_NOT_FOUND);
    EXPECT_FALSE(transmitterOpen());
    EXPECT_FALSE(configureLine());
    EXPECT_FALSE(sendFrame(0x80, 0x40));
    closeTransmitter();

    fakeD2xx.openStatus = FT_OK;
    EXPECT_EQ(openTransmitter(), FT_OK);
    EXPECT_TRUE(configureLine());
    sendFrame(0xA9, 0x69);
    closeTransmitter();
    EXPECT_FALSE(transmitterOpen());
    closeTransmitter();

    const auto& calls = fakeD2xx.calls;
    ASSERT_EQ(callNames(), (std::vector<std::string>{"open", "open", "baud", "data", "write",
                                                     "write", "write", "close"}));
    for (int i : {0, 1}) {
        EXPECT_EQ(calls[i].text, "dimsal");
        EXPECT_EQ(calls[i].args, std::vector<unsigned>{2}); // by description
    }
    EXPECT_EQ(calls[2].args, std::vector<unsigned>{1200});
    EXPECT_EQ(calls[3].args, (std::vector<unsigned>{8, 0, 2}));
    for (std::size_t i = 2; i < calls.size(); ++i) {
        EXPECT_EQ(calls[i].handle, &fakeDeviceHandle);
        EXPECT_TRUE(calls[i].name != "write" || calls[i].args[0] == 1u) << "one byte a write";
    }
    EXPECT_EQ(fakeWrittenBytes(), (std::vector<unsigned>{0xA9, 0x69, 0x12}));
}

// A byte whose write fails is written again, so frames reach the line whole
// however the failures fall; only failures that last count as a lost device.
TEST_F(TransmitterLinkTest, AFailedByteIsWrittenAgainAndOnlyLastingFailuresAreALostDevice) {
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
        streamByte(0x80, 0x40);
    }
    EXPECT_FALSE(transmitterLost());
    sleepNs(2 * kNominalByteNs);
    streamByte(0x80, 0x40);
    EXPECT_TRUE(transmitterLost());
    EXPECT_FALSE(transmitterTakesNoData()) << "it took bytes before: gone, as if unplugged";
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
}

// Writes that fail from the open on: the device takes no data. More than a
// byte waiting below the program holds the next one, paced or at the end;
// once the device takes them, they are on the line from then on, and the
// next byte follows them. Unpaced, or where the library cannot tell, nothing
// is held.
TEST_F(TransmitterLinkTest, ADeviceThatTakesNothingHoldsTheNextByte) {
    openTransmitter();
    fakeD2xx.writeStatus = FT_IO_ERROR; // from the open on: it takes no data
    for (int i = 0; i < 4; ++i) {
        streamByte(0x80, 0x40);
        sleepNs(kNominalByteNs / 2);
    }
    EXPECT_TRUE(transmitterLost() && transmitterTakesNoData());
    fakeD2xx.writeStatus = FT_OK;
    openTransmitter();
    for (auto [paced, queued, held] : {std::tuple{true, -1, false},
                                       {true, 0, false},
                                       {true, 1, false},
                                       {true, 2, true},
                                       {false, 2, false}}) {
        setPacing(paced);
        sleepNs(2 * kNominalByteNs);
        fakeD2xx.queued = queued;
        EXPECT_EQ(byteDueNs() > monotonicNs(), held) << queued;
    }
    setPacing(true);
    fakeD2xx.calls.clear();
    EXPECT_FALSE(sendFrame(0x80, 0x40));
    EXPECT_TRUE(fakeWrittenBytes().empty()) << "written while held";
    EXPECT_FALSE(transmitterLost()) << "half a second is a pause";
    fakeD2xx.queued = 0;
    const std::int64_t due = byteDueNs() - monotonicNs();
    EXPECT_GE(due, kNominalByteNs / 2) << "the held bytes go first";
    EXPECT_LE(due, 2 * kNominalByteNs);
}

TEST_F(TransmitterLinkTest, ALineThatIsRefusedIsNotConfigured) {
    openTransmitter();
    for (auto [baud, data] : {std::pair<FT_STATUS, FT_STATUS>{FT_OK, FT_OK},
                              {FT_IO_ERROR, FT_OK},
                              {FT_OK, FT_INVALID_PARAMETER}}) {
        fakeD2xx.baudStatus = baud;
        fakeD2xx.dataStatus = data;
        EXPECT_EQ(configureLine(), baud == FT_OK && data == FT_OK);
    }
}

// A frame takes the codes as they are when its first byte goes, and leaves
// whole whatever the codes are by its second and third.
TEST_F(TransmitterLinkTest, StreamedFramesLeaveWhole) {
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
}

TEST_F(TransmitterLinkTest, PacedWritesKeepToTheLineRate) {
    openTransmitter();
    setPacing(true);
    const std::int64_t start = monotonicNs();
    for (int i = 0; i < 4; ++i) {
        sendFrame(0x80, 0x40);
    }
    const std::int64_t elapsed = monotonicNs() - start;
    waitUntilSent();
    const std::int64_t sent = monotonicNs() - start;
    // 12 bytes: the first goes at once, the others one line byte time apart
    // once the lead is used up; the close waits until the last has left.
    EXPECT_GE(elapsed, 10 * kNominalByteNs);
    EXPECT_LT(elapsed, 20 * kNominalByteNs);
    EXPECT_GE(sent, 12 * kNominalByteNs);
    EXPECT_LT(sent, 20 * kNominalByteNs);
}

} // namespace
