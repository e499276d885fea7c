// The Windows console with input that is no console keyboard (the script runs
// this with standard input from /dev/null, as NUL or a file would be).
#include "console/console.h"
#include "process/clock.h"

#include <gtest/gtest.h>

namespace {

TEST(WindowsConsoleWithoutKeyboard, NoKeysAndNoWaitForThem) {
    consoleOpen();
    for (int i = 0; i < 100; ++i) {
        ASSERT_FALSE(keyWaiting());
    }
    const std::int64_t start = monotonicNs();
    EXPECT_EQ(readKey(), -1);
    EXPECT_LT(monotonicNs() - start, 100 * kNsPerMs);
    consoleClose();
    consoleClose();
}

} // namespace
