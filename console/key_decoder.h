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
// SS3, also as the 8-bit C1 controls, alone or in UTF-8), escape sequences
// with intermediate bytes, mouse reports, the strings terminals send in reply
// (OSC, DCS, SOS, PM, APC) and bracketed pastes. Known keys give their
// Windows codes (Up is 224 then 72), and so do Esc, q and Q sent as
// character codes (kitty's CSI u, xterm's modifyOtherKeys). Every other
// sequence gives the one pair 0, 0, so none of its bytes can reach the drive
// logic as a key.
#pragma once

#include <cstddef>
#include <cstdint>

// How long a lone Esc waits for the rest of a possible escape sequence: the
// byte after an ESC decides whether it was a key, and terminals send a
// sequence's bytes together.
constexpr std::int64_t kEscTimeoutMs = 30;

// How long a sequence that is certainly under way (ESC [, ESC O, a C1
// control, a string, a paste, a UTF-8 character) waits for its next byte
// before it is given up and dropped whole. No key of ours starts that way, so
// waiting costs nothing but the keys typed meanwhile that would end it; a
// slow link (ssh over a mobile network, a serial console) may hold a
// sequence's tail back for far longer than 30 ms, and its final byte is
// often one of the letters that drive (H, K, M, P).
constexpr std::int64_t kSequenceTimeoutMs = 1500;

// Room for decoded codes. One call to decoderFeed, decoderExpire or
// decoderFinish adds at most kMaxCodesPerCall codes, so a caller that calls
// only while decoderRoom() is at least that never loses a key. Should it fill
// anyway, the newest keys are dropped, each key as a whole, so that the queue
// never holds half of a two-code key; droppedCodes counts them.
constexpr int kKeyQueueSize = 64;
constexpr int kMaxCodesPerCall = 4;

// Numeric parameters kept per sequence; more make the sequence unknown.
// Three: xterm's modifyOtherKeys sends Esc as CSI 27;1;27 ~.
constexpr int kMaxSequenceParams = 3;

// A string ends with BEL or ST (ESC \, or 0x9C, alone or as C2 9C, where it
// is no part of another UTF-8 character). One that has not ended after this many bytes is
// taken to end there, and the bytes after it count as keys again: a string
// that never ends must not hold the keyboard for good. Terminals' replies
// are far shorter.
constexpr int kMaxStringBytes = 1024;

// A bracketed paste (from ESC [ 200 ~ to ESC [ 201 ~) is text, not key
// presses: all of it is swallowed, up to this bound, as strings are. Long
// enough for any text pasted by mistake.
constexpr int kMaxPasteBytes = 1 << 20;

enum class SequenceState : std::uint8_t {
    Ground,             // no sequence pending
    GroundC2,           // 0xC2: a UTF-8 character, or a C1 control in UTF-8 (C2 80..C2 9F)
    Escape,             // ESC
    EscapeEscape,       // ESC ESC: Alt plus a sequence, or two Esc presses
    EscapeIntermediate, // ESC and bytes 0x20..0x2F, until the final byte
    AltCharacter,       // ESC and a character from 0x80 up: Alt and that character
    Csi,                // ESC [ ...: parameters, intermediates, final
    Ss3,                // ESC O ...
    LinuxFn,            // ESC [ [: one letter follows (Linux console F1..F5)
    Mouse,              // ESC [ M: three characters follow (X10 mouse report)
    String,             // ESC ] (OSC), ESC P (DCS), ESC X (SOS), ESC ^ (PM), ESC _ (APC)
    StringEscape,       // ESC that ended a string: half of ST, or the next sequence
    Paste,              // ESC [ 200 ~ ...: pasted text, up to ESC [ 201 ~
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
    int utf8BytesLeft = 0;            // continuation bytes the current UTF-8 character still needs
    unsigned char utf8Lead = 0;       // the first byte of that character
    int stringBytes = 0;              // bytes a string or a paste has taken
    int pasteEndMatched = 0;          // bytes of the paste's end marker seen so far
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
// held 0xC2 itself, a cut-off sequence one unhandled pair). Call it only when no byte that
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
