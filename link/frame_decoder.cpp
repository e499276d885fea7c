#include "link/frame_decoder.h"

namespace {

// Drops the oldest byte of the window.
void skipOne(FrameDecoder& decoder) {
    decoder.window[0] = decoder.window[1];
    decoder.window[1] = decoder.window[2];
    --decoder.held;
    ++decoder.invalidBytes;
}

} // namespace

bool isSpeedCode(unsigned byte) {
    return byte == 0x80 || (byte >= 0x91 && byte <= 0x99) || (byte >= 0xA1 && byte <= 0xA9);
}

bool isSteerCode(unsigned byte) {
    return byte == 0x40 || (byte >= 0x51 && byte <= 0x59) || (byte >= 0x61 && byte <= 0x69);
}

std::uint8_t frameChecksum(unsigned speed, unsigned steer) {
    return static_cast<std::uint8_t>((speed + steer) & 0xFF);
}

int codeMagnitude(unsigned code) {
    return static_cast<int>(code & 0x0F);
}

bool pushByte(FrameDecoder& decoder, std::uint8_t byte, Frame* frame) {
    decoder.window[decoder.held++] = byte;
    for (;;) {
        if (decoder.held >= 1 && !isSpeedCode(decoder.window[0])) {
            skipOne(decoder);
        } else if (decoder.held >= 2 && !isSteerCode(decoder.window[1])) {
            skipOne(decoder);
        } else if (decoder.held == 3 &&
                   decoder.window[2] != frameChecksum(decoder.window[0], decoder.window[1])) {
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
        *frame = Frame{decoder.window[0], decoder.window[1], decoder.window[2]};
    }
    return true;
}

void decodeBytes(FrameDecoder& decoder, const std::uint8_t* bytes, std::size_t count,
                 std::vector<Frame>& frames) {
    for (std::size_t i = 0; i < count; ++i) {
        Frame frame{};
        if (pushByte(decoder, bytes[i], &frame)) {
            frames.push_back(frame);
        }
    }
}

void dropPartialFrame(FrameDecoder& decoder) {
    decoder.held = 0;
}
