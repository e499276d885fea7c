#include "monitor/frame_decoder.h"

#include "link/wire_format.h"

namespace {

// Drops the oldest byte of the window.
void skipOne(FrameDecoder& decoder) {
    decoder.window[0] = decoder.window[1];
    decoder.window[1] = decoder.window[2];
    --decoder.held;
    ++decoder.skippedBytes;
}

} // namespace

bool pushByte(FrameDecoder& decoder, const LineByte& byte, Frame* frame) {
    decoder.window[decoder.held++] = byte;
    const LineByte* w = decoder.window;
    for (;;) {
        if (decoder.held >= 1 && !isSpeedCode(w[0].value)) {
            skipOne(decoder);
        } else if (decoder.held >= 2 && !isSteerCode(w[1].value)) {
            skipOne(decoder);
        } else if (decoder.held == 3 && !isValidFrame(w[0].value, w[1].value, w[2].value)) {
            ++decoder.badChecksums;
            skipOne(decoder);
        } else {
            break;
        }
    }
    if (decoder.held < 3) {
        return false;
    }
    decoder.held = 0;
    ++decoder.frames;
    if (frame != nullptr) {
        *frame = Frame{w[0].t, w[0].value, w[1].value, w[2].value};
    }
    return true;
}

void dropPartialFrame(FrameDecoder& decoder) {
    decoder.held = 0;
}
