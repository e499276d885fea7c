// A stand-in winmm.dll for the wine tests: joystick 3, whose state a test
// writes into the file named by RCDRIVE_TEST_PAD as "X Y BUTTONS" (decimal,
// button 1 in bit 0), or anything else for no pad. The file is read at every
// call, so the test moves the stick by replacing it. The timer functions
// rcdrive also takes from winmm succeed and do nothing. Loaded in place of
// Windows' own with WINEDLLOVERRIDES=winmm=n.

// This is winmm: its functions are defined here, not imported.
#define _WINMM_

#include <cstdio>
#include <cstdlib>
#include <windows.h>

#include <mmsystem.h>

namespace {

// The pad's state, or false where there is none, joystick id is not it, or
// there is no room for the answer.
bool readPad(UINT id, bool roomy, DWORD* state) {
    const char* path = std::getenv("RCDRIVE_TEST_PAD");
    std::FILE* file = id == 3 && roomy && path != nullptr ? std::fopen(path, "r") : nullptr;
    const bool read =
        file != nullptr && std::fscanf(file, "%lu %lu %lu", &state[0], &state[1], &state[2]) == 3;
    if (file != nullptr) {
        std::fclose(file);
    }
    return read;
}

} // namespace

extern "C" {

__declspec(dllexport) MMRESULT WINAPI timeBeginPeriod(UINT) {
    return TIMERR_NOERROR;
}

__declspec(dllexport) MMRESULT WINAPI timeEndPeriod(UINT) {
    return TIMERR_NOERROR;
}

__declspec(dllexport) UINT WINAPI joyGetNumDevs() {
    return 16;
}

__declspec(dllexport) MMRESULT WINAPI joyGetDevCapsA(UINT_PTR id, JOYCAPSA* caps, UINT size) {
    DWORD state[3];
    if (!readPad(static_cast<UINT>(id), caps != nullptr && size >= sizeof *caps, state)) {
        return JOYERR_UNPLUGGED;
    }
    ZeroMemory(caps, sizeof *caps);
    caps->wXmax = caps->wYmax = 65535;
    caps->wNumButtons = 10;
    return JOYERR_NOERROR;
}

__declspec(dllexport) MMRESULT WINAPI joyGetPosEx(UINT id, JOYINFOEX* info) {
    DWORD state[3];
    if (!readPad(id, info != nullptr && info->dwSize >= sizeof *info, state)) {
        return JOYERR_UNPLUGGED;
    }
    info->dwXpos = state[0];
    info->dwYpos = state[1];
    info->dwButtons = state[2];
    return JOYERR_NOERROR;
}

} // extern "C"
