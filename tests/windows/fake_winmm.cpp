// A stand-in winmm.dll for the wine tests: a joystick whose state a test
// writes into the file named by RCDRIVE_TEST_PAD, one line "X Y BUTTONS"
// (decimal; BUTTONS a bit mask, button 1 in bit 0), or "none" for no pad.
// The file is read at every call, so the test moves the stick by rewriting
// it. The timer functions rcdrive also takes from winmm succeed and do
// nothing. Loaded in place of Windows' own with WINEDLLOVERRIDES=winmm=n.
// This is winmm: its functions are defined here, not imported.
#define _WINMM_

#include <cstdio>
#include <cstdlib>
#include <windows.h>

#include <mmsystem.h>

namespace {

struct PadFile {
    bool present;
    DWORD x, y, buttons;
};

PadFile readPadFile() {
    PadFile pad = {false, 0, 0, 0};
    const char* path = std::getenv("RCDRIVE_TEST_PAD");
    std::FILE* file = path != nullptr ? std::fopen(path, "r") : nullptr;
    if (file == nullptr) {
        return pad;
    }
    unsigned long x = 0, y = 0, buttons = 0;
    pad.present = std::fscanf(file, "%lu %lu %lu", &x, &y, &buttons) == 3;
    std::fclose(file);
    pad.x = x;
    pad.y = y;
    pad.buttons = buttons;
    return pad;
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

// The pad is joystick 3, so that finding it means looking past the first.
__declspec(dllexport) MMRESULT WINAPI joyGetDevCapsA(UINT_PTR id, JOYCAPSA* caps, UINT size) {
    if (id != 3 || !readPadFile().present) {
        return JOYERR_UNPLUGGED;
    }
    if (caps == nullptr || size < sizeof *caps) {
        return MMSYSERR_INVALPARAM;
    }
    ZeroMemory(caps, sizeof *caps);
    caps->wXmin = 0;
    caps->wXmax = 65535;
    caps->wYmin = 0;
    caps->wYmax = 65535;
    caps->wNumButtons = 10;
    return JOYERR_NOERROR;
}

__declspec(dllexport) MMRESULT WINAPI joyGetPosEx(UINT id, JOYINFOEX* info) {
    const PadFile pad = readPadFile();
    if (id != 3 || !pad.present) {
        return JOYERR_UNPLUGGED;
    }
    if (info == nullptr || info->dwSize < sizeof *info) {
        return MMSYSERR_INVALPARAM;
    }
    info->dwXpos = pad.x;
    info->dwYpos = pad.y;
    info->dwButtons = pad.buttons;
    return JOYERR_NOERROR;
}

} // extern "C"
