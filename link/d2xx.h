// The few parts of the D2XX driver library's interface that rcdrive uses,
// declared here from its published facts. The library itself is the vendor's
// FTD2XX.dll on Windows (loaded at run time by ordinal), our own layer over
// the kernel's USB serial driver on Linux, or the virtual transmitter.
#pragma once

#include <cstdint>

#ifdef _WIN32
#define FT_API __stdcall
#else
#define FT_API
#endif

using FT_HANDLE = void*;
using FT_STATUS = std::uint32_t;

constexpr FT_STATUS FT_OK = 0;
constexpr FT_STATUS FT_INVALID_HANDLE = 1;
constexpr FT_STATUS FT_DEVICE_NOT_FOUND = 2;
constexpr FT_STATUS FT_DEVICE_NOT_OPENED = 3;
constexpr FT_STATUS FT_IO_ERROR = 4;
constexpr FT_STATUS FT_INVALID_PARAMETER = 6;
constexpr FT_STATUS FT_INVALID_BAUD_RATE = 7;

constexpr std::uint32_t FT_OPEN_BY_DESCRIPTION = 2;

constexpr unsigned char FT_BITS_7 = 7;
constexpr unsigned char FT_BITS_8 = 8;
constexpr unsigned char FT_STOP_BITS_1 = 0;
constexpr unsigned char FT_STOP_BITS_2 = 2;
constexpr unsigned char FT_PARITY_NONE = 0;
constexpr unsigned char FT_PARITY_EVEN = 2;

// The vendor's DWORD, ULONG and UCHAR are 32-bit, 32-bit and 8-bit unsigned;
// fixed-width types keep the same call layout without pulling in windows.h.
extern "C" {
FT_STATUS FT_API FT_OpenEx(void* arg, std::uint32_t flags, FT_HANDLE* handle);
FT_STATUS FT_API FT_SetBaudRate(FT_HANDLE handle, std::uint32_t baudRate);
FT_STATUS FT_API FT_SetDataCharacteristics(FT_HANDLE handle, unsigned char wordLength,
                                           unsigned char stopBits, unsigned char parity);
FT_STATUS FT_API FT_Write(FT_HANDLE handle, void* buffer, std::uint32_t toWrite,
                          std::uint32_t* written);
FT_STATUS FT_API FT_Close(FT_HANDLE handle);
}
