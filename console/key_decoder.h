// Turns the bytes a terminal sends into the key codes a Windows console gives,
// so that the drive logic sees one kind of keyboard everywhere.
//
// A pure state machine: bytes go in with the time they arrived, key codes come
// out. It never reads a terminal or a clock itself. Because every byte carries
// its arrival time, how late the caller gets round to feeding it changes
// nothing: an Esc followed 40 ms later by an arrow is two keys either way.
//
// Known keys give their Windows codes (Up is 224 then 72). Every escape
// sequence the decoder does not know is swallowed whole and gives the one
// pair 0, 0, so none of its bytes can reach the drive logic as a key.
#pragma once

#include <cstddef>
#include <cstdint>

// How long a lone Esc waits for the rest of a possible escape sequence.
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

enum class SequenceState : std::uint8_t {
    None,    // no sequence pending
    Esc,     // ESC
    EscEsc,  // ESC ESC: Alt plus a sequence, or two Esc presses
    Csi,     // ESC [ ...
    Ss3,     // ESC O ...
    LinuxFn, // ESC [ [: one letter follows (Linux console F1..F5)
    Mouse,   // ESC [ M: three raw bytes follow (X10 mouse report)
};

struct KeyDecoder {
    // Decoded key codes not yet taken, oldest first (a ring buffer).
    int queue[kKeyQueueSize] = {};
    int queueHead = 0;
    int queueCount = 0;
    std::int64_t droppedCodes = 0;

    // The escape sequence being collected.
    SequenceState state = SequenceState::None;
    bool altPrefix = false;                  // ESC ESC [ ...: the first ESC is an Alt modifier
    int params[kMaxSequenceParams] = {0, 0}; // numeric parameters, saturated
    int paramCount = 0;                      // 0 if no parameter byte came yet
    bool oddSequence = false;                // markers, intermediates, too many parameters
    int mouseBytesLeft = 0;
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
