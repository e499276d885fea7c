// The D2XX functions on Windows: forwarded to FTDI's FTD2XX.dll, which is
// loaded at run time, not at start-up. Without the driver installed rcdrive
// still starts and prompts for the transmitter; a driver installed meanwhile
// is picked up at the next open attempt.
//
// The DLL's entry points are taken by ordinal. They are __stdcall, like the
// declarations in d2xx.h: in a 32-bit process the callee pops its arguments,
// so a pointer type with another convention would corrupt the stack.
//
// The DLL is called from a thread of its own (d2xx_calls.h): with no write
// time-out set, a write to a device that has stopped taking data can block
// for good, and the five functions here offer no other way to bound it.
#include "link/d2xx.h"
#include "link/d2xx_calls.h"
#include "link/d2xx_queue.h"
#include "link/open_problem.h"

#include <windows.h>

namespace {

constexpr WORD kOrdinalClose = 2;
constexpr WORD kOrdinalWrite = 4;
constexpr WORD kOrdinalSetBaudRate = 7;
constexpr WORD kOrdinalSetDataCharacteristics = 8;
constexpr WORD kOrdinalOpenEx = 27;

HMODULE library = nullptr;

// Why the latest attempt found no usable FTD2XX.dll; empty once it loaded.
const char* loadProblem = "";
constexpr const char* kDllMissing =
    "FTD2XX.dll not found: install the transmitter's D2XX driver (FTDI)";
constexpr const char* kDllUnusable =
    "FTD2XX.dll cannot be used: install the transmitter's D2XX driver (FTDI) again";

template <typename Function> bool takeEntry(HMODULE module, WORD ordinal, Function& entry) {
    const FARPROC address = GetProcAddress(module, MAKEINTRESOURCEA(ordinal));
    // Through void (*)(), the generic function pointer type, to the real one.
    entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(address));
    return address != nullptr;
}

HMODULE loadDll() {
    // A missing or broken DLL (or one of its own dependencies) is an ordinary
    // "no transmitter", never a system error box.
    const UINT previousMode = SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
    // The program's own folder and the system folders, where the driver puts
    // the DLL; not the current folder. Windows without that search option
    // (before 8, unless updated) refuses the flag, and searches as usual.
    HMODULE module = LoadLibraryExA("FTD2XX.dll", nullptr, LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr && GetLastError() == ERROR_INVALID_PARAMETER) {
        module = LoadLibraryA("FTD2XX.dll");
    }
    if (module == nullptr) {
        loadProblem = GetLastError() == ERROR_MOD_NOT_FOUND ? kDllMissing : kDllUnusable;
    }
    SetErrorMode(previousMode);
    return module;
}

// Loads the DLL if it is not loaded yet; all five entry points or nothing.
bool libraryReady() {
    if (library != nullptr) {
        return true;
    }
    const HMODULE module = loadDll();
    if (module == nullptr) {
        return false;
    }
    D2xxEntryPoints entries = {};
    const bool complete =
        takeEntry(module, kOrdinalOpenEx, entries.openEx) &&
        takeEntry(module, kOrdinalSetBaudRate, entries.setBaudRate) &&
        takeEntry(module, kOrdinalSetDataCharacteristics, entries.setDataCharacteristics) &&
        takeEntry(module, kOrdinalWrite, entries.write) &&
        takeEntry(module, kOrdinalClose, entries.close);
    if (!complete) {
        // Not the library we know; let go of it, so that a proper one can be
        // loaded in its place later.
        FreeLibrary(module);
        loadProblem = kDllUnusable;
        return false;
    }
    loadProblem = "";
    setD2xxEntryPoints(entries);
    library = module;
    return true;
}

} // namespace

extern "C" {

FT_STATUS FT_API FT_OpenEx(void* arg, std::uint32_t flags, FT_HANDLE* handle) {
    if (!libraryReady()) {
        return FT_DEVICE_NOT_FOUND;
    }
    return callOpenEx(arg, flags, handle);
}

FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate) {
    if (library == nullptr) {
        return FT_INVALID_HANDLE;
    }
    return callSetBaudRate(handle, baudRate);
}

FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                           unsigned char stopBits, unsigned char parity) {
    if (library == nullptr) {
        return FT_INVALID_HANDLE;
    }
    return callSetDataCharacteristics(handle, wordLength, stopBits, parity);
}

FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t toWrite,
                          std::uint32_t* written) {
    if (library == nullptr) {
        if (written != nullptr) {
            *written = 0;
        }
        return FT_INVALID_HANDLE;
    }
    return callWrite(handle, buffer, toWrite, written);
}

FT_STATUS FT_API FT_Close(FT_HANDLE handle) {
    if (library == nullptr) {
        return FT_INVALID_HANDLE;
    }
    return callClose(handle);
}

} // extern "C"

// Without the driver's DLL no transmitter can ever open: that is said, so
// that it does not look like an unplugged one. The DLL itself says only that
// an open failed, not why.
std::string d2xxOpenProblem() {
    return loadProblem;
}

// The five functions say nothing of FTD2XX.dll's queue.
int d2xxQueuedBytes(FT_HANDLE) {
    return -1;
}
