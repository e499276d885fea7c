// Turns the bytes a terminal sends into the key codes a Windows console gives,
// so that the drive logic sees one kind of keyboard everywhere.
//
// A pure state machine: bytes go in with the time they arrived, key codes come
// out. It never reads a terminal or a clock itself.
#pragma once

#include <cstdint>

// How long a lone Esc waits for the rest of a possible escape sequence.
constexpr std::int64_t kEscTimeoutMs = 30;

struct KeyDecoder {
    // Decoded key codes not yet taken, oldest first.
    int queue[64];
    int queueHead = 0;
    int queueCount = 0;

    // The escape sequence being collected.
    int state = 0;
    bool altPrefix = false;        // ESC ESC [ ...: the first ESC is an Alt modifier
    int params[2] = {0, 0};        // numeric parameters, saturated
    int paramCount = 0;
    int paramBytes = 0;            // how many parameter bytes were seen
    bool oddParams = false;        // private markers or intermediates: an unknown key
    std::int64_t sequenceStartMs = 0;
};

// Feeds one byte that arrived at nowMs.
void decoderFeed(KeyDecoder& decoder, unsigned char byte, std::int64_t nowMs);

// Resolves a pending sequence whose time is up (a lone Esc becomes 27, a
// cut-off sequence one unhandled pair). Call it only when no byte is waiting.
void decoderExpire(KeyDecoder& decoder, std::int64_t nowMs);

// End of input: resolves whatever is pending at once.
void decoderFinish(KeyDecoder& decoder);

// Whether a sequence is waiting for more bytes, and until when.
bool decoderPending(const KeyDecoder& decoder);
std::int64_t decoderDeadlineMs(const KeyDecoder& decoder);

bool decoderHasKey(const KeyDecoder& decoder);

// Takes the oldest decoded key code; -1 if there is none.
int decoderTakeKey(KeyDecoder& decoder);
