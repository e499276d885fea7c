// Calls into a D2XX library made on a thread of their own, so that a call
// that does not come back (a write to a device that has stopped taking data,
// with no time-out set) holds only that thread: never the drive loop, never
// a request to end.
//
// The caller waits for each call only so long. A call that has not returned
// by then is reported as failed, as the device refusing it would be, and runs
// on. Only one call is ever inside the library; while one runs on:
//   - the same call made again (the link writes a failed byte again and
//     repeats a failed open) waits for that one and takes what it returned,
//     instead of making it a second time: a byte never goes out twice;
//   - a close is made as soon as it has returned, never beside it;
//   - any other call fails at once, without reaching the library.
// What a call that ran on returned is kept for the same call made again;
// any other call drops it, and closes the device that such an open found.
#pragma once

#include "link/d2xx.h"

#include <cstdint>

struct D2xxEntryPoints {
    FT_STATUS(FT_API* openEx)(void*, std::uint32_t, FT_HANDLE*);
    FT_STATUS(FT_API* setBaudRate)(FT_HANDLE, std::uint32_t);
    FT_STATUS(FT_API* setDataCharacteristics)
    (FT_HANDLE, unsigned char, unsigned char, unsigned char);
    FT_STATUS(FT_API* write)(FT_HANDLE, void*, std::uint32_t, std::uint32_t*);
    FT_STATUS(FT_API* close)(FT_HANDLE);
};

// A one-byte write to a chip with room, or an open, takes a USB transfer or
// a few: about a millisecond each. Waiting longer than a byte time at 1200
// baud would leave the line idle, and the link makes both calls again anyway.
constexpr std::int64_t kD2xxWriteWaitNs = 10 * 1000000LL;
// A line setting or a close is made once, with no repeat to take it up
// later: room for a slow USB bus. Nothing is being sent meanwhile.
constexpr std::int64_t kD2xxSettingWaitNs = 250 * 1000000LL;

// The calls below go to these entry points from now on.
void setD2xxEntryPoints(const D2xxEntryPoints& entries);

// The five calls, as the library's own. An open takes its first argument as
// a string, as a description is.
FT_STATUS callOpenEx(void* description, std::uint32_t flags, FT_HANDLE* handle);
FT_STATUS callSetBaudRate(FT_HANDLE handle, std::uint32_t baudRate);
FT_STATUS callSetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                     unsigned char stopBits, unsigned char parity);
FT_STATUS callWrite(FT_HANDLE handle, void* buffer, std::uint32_t toWrite, std::uint32_t* written);
FT_STATUS callClose(FT_HANDLE handle);
