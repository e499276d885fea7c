// The FTD2XX.dll loader (link/d2xx_windows.cpp) against real DLLs. The
// folder of this program decides what there is to load, so the script runs
// it several times, each with a gtest filter:
//
//   LoaderBesideDll.*   the virtual FTD2XX.dll beside it
//   LoaderWithoutDll.*  no usable FTD2XX.dll beside it (none, a file that is
//                       no DLL, or a DLL without FT_Close); the environment's
//                       RCDRIVE_TEST_INSTALL_DLL names a good DLL to put in
//                       place half-way
#include "link/d2xx.h"
#include "link/open_problem.h"
#include "trace/trace_format.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>
#include <windows.h>

namespace {

// The stack pointer where the macro stands, in the caller's own frame.
#define READ_STACK_POINTER(variable) __asm__ volatile("movl %%esp, %0" : "=r"(variable))

std::string programFolder() {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of("\\/") + 1);
}

bool dllLoaded() {
    return GetModuleHandleA("FTD2XX.dll") != nullptr;
}

// The trace lines without their time stamps.
std::vector<std::string> traceEvents(const std::string& path) {
    std::vector<std::string> events;
    for (const TraceRecord& record : readTraceFile(path)) {
        const std::string line = formatTraceLine(record);
        events.push_back(line.substr(line.find(' ') + 1, line.size() - line.find(' ') - 2));
    }
    return events;
}

void expectRefusedWithoutLibrary() {
    char dummy = 0;
    unsigned char byte = 0x80;
    std::uint32_t written = 77;
    EXPECT_EQ(FT_SetBaudRate(&dummy, 1200), FT_INVALID_HANDLE);
    EXPECT_EQ(FT_SetDataCharacteristics(&dummy, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN),
              FT_INVALID_HANDLE);
    EXPECT_EQ(FT_Write(&dummy, &byte, 1, &written), FT_INVALID_HANDLE);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(FT_Close(&dummy), FT_INVALID_HANDLE);
}

TEST(LoaderBesideDll, EveryCallReachesTheDllThroughItsOrdinal) {
    const std::string trace = programFolder() + "loader-trace.txt";
    ASSERT_TRUE(SetEnvironmentVariableA("RCDRIVE_SIM_TRACE", trace.c_str()));

    // Nothing is loaded before the first open attempt.
    EXPECT_FALSE(dllLoaded());
    expectRefusedWithoutLibrary();
    EXPECT_FALSE(dllLoaded());

    char description[] = "dimsal";
    char other[] = "other";
    FT_HANDLE handle = nullptr;
    FT_HANDLE unused = nullptr;
    EXPECT_EQ(FT_OpenEx(other, FT_OPEN_BY_DESCRIPTION, &unused), FT_DEVICE_NOT_FOUND);
    EXPECT_TRUE(dllLoaded()) << "a device that is not there does not unload the driver";
    ASSERT_EQ(FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    ASSERT_NE(handle, nullptr);
    // The DLL's own statuses come back unchanged.
    EXPECT_EQ(FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &unused), FT_DEVICE_NOT_OPENED);

    EXPECT_EQ(FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN), FT_OK);
    EXPECT_EQ(FT_SetBaudRate(handle, 1200), FT_OK);
    EXPECT_EQ(FT_SetBaudRate(handle, 12), FT_IO_ERROR);
    unsigned char frame[3] = {0xA9, 0x69, 0x12};
    std::uint32_t written = 0;
    EXPECT_EQ(FT_Write(handle, frame, 3, &written), FT_OK);
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(FT_Close(handle), FT_OK);
    EXPECT_EQ(FT_Close(handle), FT_INVALID_HANDLE);

    EXPECT_EQ(
        traceEvents(trace),
        (std::vector<std::string>{"open \"other\" 2 2", "open \"dimsal\" 2 0",
                                  "open \"dimsal\" 2 3", "data 8 0 2 0", "baud 1200 0", "baud 12 4",
                                  "write A9 0", "write 69 0", "write 12 0", "close 0", "close 1"}));

#ifdef __i386__
    // Each call pops its own arguments (__stdcall), as the DLL's answer to a
    // closed handle shows too: through a loader pointer of another convention
    // the stack would shift on every call, or the call return astray. Only
    // 32-bit code has more than one convention.
    const std::function<FT_STATUS()> calls[] = {
        [&] {
            return FT_SetDataCharacteristics(handle, FT_BITS_8, FT_STOP_BITS_1, FT_PARITY_EVEN);
        },
        [&] { return FT_Write(handle, frame, 3, &written); }};
    for (const std::function<FT_STATUS()>& call : calls) {
        std::uintptr_t before = 0, after = 0;
        READ_STACK_POINTER(before);
        for (int i = 0; i < 50; ++i) {
            EXPECT_EQ(call(), FT_INVALID_HANDLE);
        }
        READ_STACK_POINTER(after);
        EXPECT_EQ(before, after);
    }
#endif
}

TEST(LoaderWithoutDll, PromptsOnAndPicksUpADriverInstalledLater) {
    FT_HANDLE handle = nullptr;
    char description[] = "dimsal";
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_EQ(FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_DEVICE_NOT_FOUND);
        EXPECT_EQ(handle, nullptr);
        EXPECT_FALSE(dllLoaded()) << "nothing stays loaded after a failed attempt";
        EXPECT_NE(d2xxOpenProblem().find(": install the transmitter's D2XX driver (FTDI)"),
                  std::string::npos)
            << d2xxOpenProblem();
        expectRefusedWithoutLibrary();
    }
    const char* installFrom = std::getenv("RCDRIVE_TEST_INSTALL_DLL");
    ASSERT_NE(installFrom, nullptr) << "RCDRIVE_TEST_INSTALL_DLL names no DLL to install";
    // The driver arrives while the program runs. Replacing a DLL that is still
    // loaded would fail on Windows.
    const std::string target = programFolder() + "FTD2XX.dll";
    ASSERT_TRUE(CopyFileA(installFrom, target.c_str(), FALSE)) << GetLastError();
    ASSERT_EQ(FT_OpenEx(description, FT_OPEN_BY_DESCRIPTION, &handle), FT_OK);
    EXPECT_TRUE(dllLoaded());
    EXPECT_EQ(d2xxOpenProblem(), "");
    EXPECT_EQ(FT_Close(handle), FT_OK);
}

} // namespace
