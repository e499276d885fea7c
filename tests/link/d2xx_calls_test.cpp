// D2XX calls on their own thread, against a library whose calls a test can
// hold inside it: each call passes a gate the test may keep shut, and is
// recorded once it has passed.
#include "link/d2xx_calls.h"
#include "process/clock.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

std::mutex gate;
std::mutex seenMutex;
std::vector<std::string> seen; // the calls that came back from the library, in order
char device;

FT_STATUS enter(const std::string& call, FT_STATUS status) {
    { const std::lock_guard<std::mutex> pass(gate); }
    const std::lock_guard<std::mutex> lock(seenMutex);
    seen.push_back(call);
    return status;
}

FT_STATUS FT_API libraryOpen(void* description, std::uint32_t flags, FT_HANDLE* handle) {
    const std::string name = static_cast<const char*>(description);
    *handle = &device;
    return enter("open " + name + " " + std::to_string(flags),
                 name == "dimsal" ? FT_OK : FT_DEVICE_NOT_FOUND);
}

FT_STATUS FT_API libraryBaud(FT_HANDLE, std::uint32_t rate) {
    return enter("baud " + std::to_string(rate), rate == 1200 ? FT_OK : FT_INVALID_BAUD_RATE);
}

FT_STATUS FT_API libraryData(FT_HANDLE, unsigned char word, unsigned char stop,
                             unsigned char parity) {
    return enter("data " + std::to_string(word) + std::to_string(stop) + std::to_string(parity),
                 FT_OK);
}

FT_STATUS FT_API libraryWrite(FT_HANDLE, void* buffer, std::uint32_t toWrite,
                              std::uint32_t* written) {
    *written = toWrite;
    return enter("write " + std::string(static_cast<char*>(buffer), toWrite), FT_OK);
}

FT_STATUS FT_API libraryClose(FT_HANDLE handle) {
    return enter(handle == &device ? "close" : "close another", FT_OK);
}

// Makes the call again, as the link does, until it succeeds; at most a second.
template <typename Call> FT_STATUS untilDone(Call call) {
    FT_STATUS status = call();
    for (const std::int64_t end = monotonicNs() + 1000 * kNsPerMs;
         status != FT_OK && monotonicNs() < end; status = call()) {
        sleepNs(kNsPerMs);
    }
    return status;
}

class D2xxCallsTest : public testing::Test {
  protected:
    void SetUp() override {
        setD2xxEntryPoints({libraryOpen, libraryBaud, libraryData, libraryWrite, libraryClose});
        seen.clear();
    }

    std::unique_lock<std::mutex> shut{gate, std::defer_lock}; // unlocked if a test fails
    FT_HANDLE handle = nullptr;
    std::uint32_t written = 77;
    char dimsal[7] = "dimsal";
    char byte = 'S';

    FT_STATUS open() { return callOpenEx(dimsal, FT_OPEN_BY_DESCRIPTION, &handle); }
    FT_STATUS writeByte() { return callWrite(handle, &byte, 1, &written); }
};

TEST_F(D2xxCallsTest, EachCallReachesTheLibraryWithItsArgumentsAndResults) {
    char other[] = "other";
    EXPECT_EQ(callOpenEx(other, FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    ASSERT_EQ(open(), FT_OK);
    EXPECT_EQ(handle, &device);
    EXPECT_EQ(callSetBaudRate(handle, 12), FT_INVALID_BAUD_RATE);
    EXPECT_EQ(callSetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN), FT_OK);
    EXPECT_EQ(callSetDataCharacteristics(handle, FT_BITS_7, FT_STOP_BITS_2, FT_PARITY_NONE), FT_OK);
    EXPECT_EQ(callWrite(handle, other, 3, &written), FT_OK);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(callClose(handle), FT_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{"open other 2", "open dimsal 2", "baud 12",
                                              "data 802", "data 720", "write oth", "close"}));
}

// The write fails once its time is up; while it is inside, other calls fail
// at once without reaching the library, and the same byte written again
// takes what the first write returned: it goes out once.
TEST_F(D2xxCallsTest, AWriteThatDoesNotReturnFailsInTimeAndGoesOutOnce) {
    ASSERT_EQ(open(), FT_OK);
    shut.lock();
    const std::int64_t start = monotonicNs();
    EXPECT_EQ(writeByte(), FT_IO_ERROR);
    EXPECT_LT(monotonicNs() - start, kD2xxWriteWaitNs + 50 * kNsPerMs);
    EXPECT_EQ(written, 0u);

    const std::int64_t othersStart = monotonicNs();
    FT_HANDLE another = nullptr;
    char otherByte = 'T';
    EXPECT_EQ(callOpenEx(dimsal, FT_OPEN_BY_DESCRIPTION, &another), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(another, nullptr);
    EXPECT_EQ(callSetBaudRate(handle, 1200), FT_IO_ERROR);
    EXPECT_EQ(callWrite(handle, &otherByte, 1, &written), FT_IO_ERROR);
    EXPECT_LT(monotonicNs() - othersStart, kD2xxWriteWaitNs);
    EXPECT_EQ(writeByte(), FT_IO_ERROR);

    shut.unlock();
    sleepNs(20 * kNsPerMs); // back from the library by now, with nobody waiting
    EXPECT_EQ(untilDone([&] { return writeByte(); }), FT_OK);
    EXPECT_EQ(written, 1u);
    EXPECT_EQ(callClose(handle), FT_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{"open dimsal 2", "write S", "close"}));
}

// Closed while a write is inside: the close reaches the library only once
// the write has returned; the device then opens again.
TEST_F(D2xxCallsTest, ACloseWhileAWriteIsInsideFollowsIt) {
    ASSERT_EQ(open(), FT_OK);
    shut.lock();
    EXPECT_EQ(writeByte(), FT_IO_ERROR);
    EXPECT_EQ(callClose(handle), FT_OK);
    shut.unlock();
    EXPECT_EQ(untilDone([&] { return open(); }), FT_OK);
    EXPECT_EQ(callClose(handle), FT_OK);
    EXPECT_EQ(seen, (std::vector<std::string>{"open dimsal 2", "write S", "close", "open dimsal 2",
                                              "close"}));
}

// An open that returns after its time: the open made again takes the device
// it found; any other call first closes that device, which nobody else has.
TEST_F(D2xxCallsTest, AnOpenThatReturnsLateIsTakenByItsRepeatOrClosed) {
    char other[] = "other";
    for (const bool repeated : {true, false}) {
        shut.lock();
        EXPECT_EQ(open(), FT_DEVICE_NOT_OPENED);
        EXPECT_EQ(handle, nullptr);
        shut.unlock();
        if (repeated) {
            EXPECT_EQ(untilDone([&] { return open(); }), FT_OK);
            EXPECT_EQ(handle, &device);
            EXPECT_EQ(callClose(handle), FT_OK);
            handle = nullptr;
        } else {
            EXPECT_EQ(untilDone([&] {
                          const FT_STATUS status =
                              callOpenEx(other, FT_OPEN_BY_DESCRIPTION, &handle);
                          return status == FT_DEVICE_NOT_FOUND ? FT_OK : status;
                      }),
                      FT_OK);
        }
    }
    EXPECT_EQ(seen, (std::vector<std::string>{"open dimsal 2", "close", "open dimsal 2", "close",
                                              "open other 2"}));
}

} // namespace
