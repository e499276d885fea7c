#include "drive/pad_keys.h"

#include "console/extended_keys.h"
#include "drive/drive_state.h"

namespace {

void pressTimes(std::vector<int>& codes, int code, int times) {
    for (int i = 0; i < times; ++i) {
        codes.push_back(kExtendedPrefix);
        codes.push_back(code);
    }
}

// Arrow presses from one level to another: up towards higher levels.
void stepTo(std::vector<int>& codes, int from, int to, int upCode, int downCode) {
    pressTimes(codes, upCode, to - from);
    pressTimes(codes, downCode, from - to);
}

} // namespace

std::vector<int> padKeyCodes(int speedLevel, int steerLevel, const PadCommand& command) {
    std::vector<int> codes;
    if (command.rest) {
        codes.push_back(kKeyEsc);
        speedLevel = 0;
        steerLevel = 0;
    }
    if (command.setSpeed) {
        stepTo(codes, speedLevel, command.speedLevel, kKeyUp, kKeyDown);
    }
    if (command.setSteer) {
        stepTo(codes, steerLevel, command.steerLevel, kKeyRight, kKeyLeft);
    }
    return codes;
}
