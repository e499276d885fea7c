// Turns the bytes a terminal sends into the key codes a Windows console gives,
// so that the drive logic sees one kind of keyboard everywhere.
//
// A pure state machine: bytes go in with the time they arrived, key codes come
// out. It never reads a terminal or a clock itself. Because every byte carries
// its arrival time, how late the caller gets round to feeding it changes
// nothing: an Esc followed 40 ms later by an arrow is two keys either way.
//
// Its states are those of the DEC/ECMA-48 parser that terminal emulators
// follow, so every sequence a terminal sends is taken as a whole: keys (CSI,
// SS3), escape sequences with intermediate bytes, mouse reports, and the
// strings terminals send in reply (OSC, DCS, SOS, PM, APC). Known keys give
// their Windows codes (Up is 224 then 72). Every other sequence gives the one
// pair 0, 0, so none of its bytes can reach the drive logic as a key.
#pragma once

#include <cstddef>
#include <cstdint>

// How long a lone Esc waits for the rest of a possible escape sequence, and a
// sequence for its next byte.
constexpr std::int64_t kEscTimeoutMs = 30;

// Room for decoded codes. One call to decoderFeed, decoderExpire or
// decoderFinish adds at most kMaxCodesPerCall codes, so a caller that calls
// only while decoderRoom() is at least that never loses a key. Should it fill
// anyway, the newest keys are dropped, each key as a whole, so that the queue
// never holds half of a two-code key; droppedCodes counts them.
constexpr int kKeyQueueSize = 64;
constexpr int kMaxCodesPerCall = 3;

// Numeric parameters kept per sequence; more make the sequence unknown.
constexpr int kMaxSequenceParams = 2;

// A string ends with BEL or ST (ESC \, or the byte 0x9C where it is no part
// of a UTF-8 character). One that has not ended after this many bytes is
// taken to end there, and the bytes after it count as keys again: a string
// that never ends must not hold the keyboard for good. Terminals' replies
// are far shorter.
constexpr int kMaxStringBytes = 1024;

enum class SequenceState : std::uint8_t {
    Ground,             // no sequence pending
    Escape,             // ESC
    EscapeEscape,       // ESC ESC: Alt plus a sequence, or two Esc presses
    EscapeIntermediate, // ESC and bytes 0x20..0x2F, until the final byte
    Csi,                // ESC [ ...: parameters, intermediates, final
    Ss3,                // ESC O ...
    LinuxFn,            // ESC [ [: one letter follows (Linux console F1..F5)
    Mouse,              // ESC [ M: three characters follow (X10 mouse report)
    String,             // ESC ] (OSC), ESC P (DCS), ESC X (SOS), ESC ^ (PM), ESC _ (APC)
    StringEscape,       // ESC that ended a string: half of ST, or the next sequence
};

struct KeyDecoder {
    // Decoded key codes not yet taken, oldest first (a ring buffer).
    int queue[kKeyQueueSize] = {};
    int queueHead = 0;
    int queueCount = 0;
    std::int64_t droppedCodes = 0;

    // The escape sequence being collected.
    SequenceState state = SequenceState::Ground;
    bool altPrefix = false;                  // ESC ESC [ ...: the first ESC is an Alt modifier
    int params[kMaxSequenceParams] = {0, 0}; // numeric parameters, saturated
    int paramCount = 0;                      // 0 if no parameter byte came yet
    bool oddSequence = false;                // markers, intermediates, too many parameters
    int mouseCharsLeft = 0;
    int utf8BytesLeft = 0; // continuation bytes the current UTF-8 character still needs
    int stringBytes = 0;
    std::int64_t sequenceStartMs = 0; // the ESC, or the latest byte of a sequence
    std::int64_t secondEscMs = 0;     // arrival of the later ESC of ESC ESC
};

// Feeds one byte that arrived at nowMs. A pending sequence whose time ran out
// before the byte arrived is resolved first, as decoderExpire would have.
void decoderFeed(KeyDecoder& decoder, unsigned char byte, std::int64_t nowMs);

// Feeds bytes that arrived together at nowMs, as many as the queue is sure
// to have room for; returns how many it took. The rest wait for keys to be
// taken, so that however large the burst, no key is ever dropped.
std::size_t decoderFeedSome(KeyDecoder& decoder, const unsigned char* bytes, std::size_t count,
                            std::int64_t nowMs);

// Resolves a pending sequence whose time is up (a lone Esc becomes 27, a
// cut-off sequence one unhandled pair). Call it only when no byte that
// arrived before nowMs is still waiting to be fed.
void decoderExpire(KeyDecoder& decoder, std::int64_t nowMs);

// End of input: resolves whatever is pending at once.
void decoderFinish(KeyDecoder& decoder);

// Whether a sequence is waiting for more bytes, and until when (the deadline
// is INT64_MAX when nothing is pending).
bool decoderPending(const KeyDecoder& decoder);
std::int64_t decoderDeadlineMs(const KeyDecoder& decoder);

bool decoderHasKey(const KeyDecoder& decoder);

// Free places in the queue.
int decoderRoom(const KeyDecoder& decoder);

// Takes the oldest decoded key code; -1 if there is none.
int decoderTakeKey(KeyDecoder& decoder);
