#include "console/key_decoder.h"

#include "console/extended_keys.h"

#include <cstring>
#include <iterator>
#include <limits>

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr unsigned char kBel = 0x07;
constexpr unsigned char kStringTerminator = 0x9C; // ST as a C1 control
constexpr unsigned char kC1Csi = 0x9B;
constexpr unsigned char kUtf8C1Lead = 0xC2; // C2 80..C2 9F are the C1 controls in UTF-8
constexpr int kParamMax = 9999;             // larger numbers mean nothing to us

// Modifier bits, as in the xterm parameter (which is 1 + these bits).
constexpr int kShift = 1;
constexpr int kAlt = 2;
constexpr int kCtrl = 4;
constexpr int kMeta = 8;
constexpr int kCapsLock = 64; // kitty reports the locks too; they change no key of ours
constexpr int kNumLock = 128;

// The bracketed paste's markers, as "n~" keys; its end as the decoder sees it
// from inside the paste.
constexpr int kPasteStart = 200;
constexpr char kPasteEnd[] = "\x1b[201~";
constexpr int kPasteEndLength = sizeof kPasteEnd - 1;

enum Key {
    kUp,
    kDown,
    kLeft,
    kRight,
    kPageDown,
    kHome,
    kEnd,
    kPageUp,
    kInsert,
    kDelete,
    kF1,
    kF2,
    kF3,
    kF4,
    kF5,
    kF6,
    kF7,
    kF8,
    kF9,
    kF10,
    kF11,
    kF12,
    kUnknownKey
};

// The Windows codes of a key. Arrows and PgDn also have their Ctrl and Alt
// codes (Shift leaves them as they are); for the other keys any modifier
// makes the key one we do not tell apart.
struct KeyCodes {
    int prefix;
    int plain;
    bool modifiersToldApart;
};

constexpr KeyCodes kKeyCodes[] = {
    {224, 72, true},   // Up
    {224, 80, true},   // Down
    {224, 75, true},   // Left
    {224, 77, true},   // Right
    {224, 81, true},   // PgDn
    {224, 71, false},  // Home
    {224, 79, false},  // End
    {224, 73, false},  // PgUp
    {224, 82, false},  // Insert
    {224, 83, false},  // Delete
    {0, 59, false},    // F1
    {0, 60, false},    // F2
    {0, 61, false},    // F3
    {0, 62, false},    // F4
    {0, 63, false},    // F5
    {0, 64, false},    // F6
    {0, 65, false},    // F7
    {0, 66, false},    // F8
    {0, 67, false},    // F9
    {0, 68, false},    // F10
    {224, 133, false}, // F11
    {224, 134, false}, // F12
};

// The keys of "n~" by n (xterm, rxvt and the Linux console): 1 to 8 the
// editing keys, 11 to 15 F1 to F5, 17 to 21 F6 to F10, 23 and 24 F11 and F12.
constexpr Key kTildeKeys[] = {
    kUnknownKey, kHome,       kInsert, kDelete, kEnd,        kPageUp, kPageDown, kHome,       kEnd,
    kUnknownKey, kUnknownKey, kF1,     kF2,     kF3,         kF4,     kF5,       kUnknownKey, kF6,
    kF7,         kF8,         kF9,     kF10,    kUnknownKey, kF11,    kF12,
};

// The keys of letter finals: "ABCDHF" in CSI and SS3, rxvt's lower-case
// arrows "abcd" (Shift in CSI, Ctrl in SS3).
constexpr Key kLetterKeys[] = {kUp, kDown, kRight, kLeft, kHome, kEnd};

Key letterKey(unsigned char final, const char* finals) {
    const char* at = std::strchr(finals, final);
    return final != 0 && at != nullptr ? kLetterKeys[at - finals] : kUnknownKey;
}

Key tildeKey(int number) {
    return number >= 0 && number < static_cast<int>(std::size(kTildeKeys)) ? kTildeKeys[number]
                                                                           : kUnknownKey;
}

// Queues a whole key or nothing: a key that does not fit is dropped entirely,
// so the taker never sees a prefix without its second code.
void pushKey(KeyDecoder& d, const int* codes, int count) {
    if (d.queueCount + count > kKeyQueueSize) {
        d.droppedCodes += count;
        return;
    }
    for (int i = 0; i < count; ++i) {
        d.queue[(d.queueHead + d.queueCount) % kKeyQueueSize] = codes[i];
        ++d.queueCount;
    }
}

void pushCode(KeyDecoder& d, int code) {
    pushKey(d, &code, 1);
}

void pushPair(KeyDecoder& d, int prefix, int code) {
    const int codes[2] = {prefix, code};
    pushKey(d, codes, 2);
}

void pushUnknown(KeyDecoder& d) {
    pushPair(d, 0, 0);
}

void pushKeyWithModifiers(KeyDecoder& d, Key key, int mods) {
    if (key == kUnknownKey || (mods != 0 && !kKeyCodes[key].modifiersToldApart)) {
        pushUnknown(d);
        return;
    }
    const GreyKey* grey = findGreyKey(kKeyCodes[key].plain);
    if (mods & kCtrl) {
        pushPair(d, kExtendedPrefix, grey->ctrlCode);
    } else if (mods & (kAlt | kMeta)) {
        pushPair(d, kAltPrefix, grey->altCode);
    } else {
        pushPair(d, kKeyCodes[key].prefix, kKeyCodes[key].plain); // Shift leaves arrows alone
    }
}

// Control bytes, DEL and bytes from 0x80 up never occur inside a sequence.
bool breaksSequence(unsigned char byte) {
    return byte < 0x20 || byte >= 0x7F;
}

// C0 controls and DEL.
bool isControl(unsigned char byte) {
    return byte < 0x20 || byte == 0x7F;
}

// A byte from 0x80 to 0x9F: a C1 control, unless it is part of a UTF-8
// character. Each C1 control is the 8-bit form of ESC and the byte 0x40 below
// it (0x9B is ESC [), and is read as that.
bool inC1Range(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F;
}

unsigned char sevenBitFinal(unsigned char c1) {
    return static_cast<unsigned char>(c1 - 0x40);
}

// After ESC: OSC, DCS, SOS, PM and APC, which run up to their terminator.
bool opensString(unsigned char byte) {
    return byte == ']' || byte == 'P' || byte == 'X' || byte == '^' || byte == '_';
}

// Follows UTF-8 through the bytes: whether this byte continues the character
// before it. Any other byte begins a character of its own.
bool continuesCharacter(KeyDecoder& d, unsigned char byte) {
    if (d.utf8BytesLeft > 0 && byte >= 0x80 && byte < 0xC0) {
        --d.utf8BytesLeft;
        return true;
    }
    d.utf8Lead = byte;
    d.utf8BytesLeft = byte >= 0xF0 && byte <= 0xF4  ? 3
                      : byte >= 0xE0 && byte < 0xF0 ? 2
                      : byte >= 0xC2 && byte < 0xE0 ? 1
                                                    : 0;
    return false;
}

// Follows UTF-8 as continuesCharacter does: whether the byte is a C1
// control, on its own or as the second byte of its UTF-8 form.
bool isC1Control(KeyDecoder& d, unsigned char byte) {
    const bool afterC2 = d.utf8BytesLeft > 0 && d.utf8Lead == kUtf8C1Lead;
    const bool continues = continuesCharacter(d, byte);
    return inC1Range(byte) && (!continues || afterC2);
}

void toGround(KeyDecoder& d) {
    d.state = SequenceState::Ground;
    d.altPrefix = false;
    d.utf8BytesLeft = 0;
}

void startSequence(KeyDecoder& d, SequenceState state, bool altPrefix) {
    d.state = state;
    d.altPrefix = altPrefix;
    for (int& p : d.params) {
        p = 0;
    }
    d.paramCount = 0;
    d.oddSequence = false;
    d.mouseCharsLeft = 0;
    d.utf8BytesLeft = 0;
    d.stringBytes = 0;
    d.pasteEndMatched = 0;
}

// Modifier bits from an xterm modifier parameter; -1 if it is none.
int modifierBits(int param) {
    if (param == 0) {
        param = 1;
    }
    if (param < 1 || param > 16) {
        return -1;
    }
    return param - 1;
}

// The modifiers of a letter-final sequence: none, "1;m" or, in SS3 only, a
// lone "m" (old xterm). -1 if the parameters fit no such form.
int letterModifiers(const KeyDecoder& d, bool allowLoneModifier) {
    if (d.paramCount == 0) {
        return 0;
    }
    if (d.paramCount == 1) {
        return allowLoneModifier ? modifierBits(d.params[0]) : -1;
    }
    if (d.paramCount > 2 || d.params[0] > 1) {
        return -1;
    }
    return modifierBits(d.params[1]);
}

// Ends the sequence with a key; mods < 0 means the parameters fit no form of
// it, which makes it an unknown key.
void finishKey(KeyDecoder& d, Key key, int mods) {
    if (mods < 0) {
        key = kUnknownKey;
    }
    pushKeyWithModifiers(d, key, mods < 0 ? 0 : mods | (d.altPrefix ? kAlt : 0));
    toGround(d);
}

// A key given as its character's code and an xterm modifier parameter:
// "code;m u" (kitty's keyboard protocol, fixterms) or "27;m;code ~" (xterm's
// modifyOtherKeys). Of our keys Esc, q and Q come so, unmodified, and Q also
// as Shift+q; every other such key is one we do not tell apart.
void finishCharacterKey(KeyDecoder& d, int code, int modifierParam) {
    int mods = modifierParam == 0 ? 0 : modifierParam - 1;
    mods = (mods & ~(kCapsLock | kNumLock)) | (d.altPrefix ? kAlt : 0);
    if (mods == 0 && (code == kEsc || code == 'q' || code == 'Q')) {
        pushCode(d, code);
    } else if (mods == kShift && code == 'q') {
        pushCode(d, 'Q');
    } else {
        pushUnknown(d);
    }
    toGround(d);
}

void finishCsi(KeyDecoder& d, unsigned char final) {
    if (d.oddSequence) {
        pushUnknown(d);
        toGround(d);
        return;
    }
    if (final == 'u' && d.paramCount > 0) {
        finishCharacterKey(d, d.params[0], d.params[1]); // a third parameter is the key's text
        return;
    }
    if (final == '~' && d.paramCount == 3 && d.params[0] == 27) {
        finishCharacterKey(d, d.params[2], d.params[1]);
        return;
    }
    if (final == '~' && d.paramCount == 1 && d.params[0] == kPasteStart) {
        startSequence(d, SequenceState::Paste, false);
        return;
    }
    if (final == '[' && d.paramCount == 0) {
        d.state = SequenceState::LinuxFn;
        return;
    }
    if (final == 'M' && d.paramCount == 0) {
        d.state = SequenceState::Mouse;
        d.mouseCharsLeft = 3;
        return;
    }
    if (letterKey(final, "ABCDHF") != kUnknownKey) {
        finishKey(d, letterKey(final, "ABCDHF"), letterModifiers(d, false));
        return;
    }
    if (letterKey(final, "abcd") != kUnknownKey) {
        finishKey(d, letterKey(final, "abcd"), d.paramCount == 0 ? kShift : -1);
        return;
    }
    // Numbered keys: "n~" and "n;m~" (xterm), "n$" Shift, "n^" Ctrl and
    // "n@" Ctrl+Shift (rxvt).
    int mods = -1;
    if (final == '~') {
        mods = d.paramCount == 1 ? 0 : d.paramCount == 2 ? modifierBits(d.params[1]) : -1;
    } else if (d.paramCount == 1) {
        mods = final == '$' ? kShift : final == '^' ? kCtrl : final == '@' ? kCtrl | kShift : -1;
    }
    finishKey(d, d.paramCount > 0 ? tildeKey(d.params[0]) : kUnknownKey, mods);
}

void finishSs3(KeyDecoder& d, unsigned char final) {
    if (d.oddSequence) {
        pushUnknown(d);
        toGround(d);
        return;
    }
    Key key = letterKey(final, "ABCDHF");
    if (final >= 'P' && final <= 'S') {
        key = static_cast<Key>(kF1 + (final - 'P'));
    }
    if (key != kUnknownKey) {
        finishKey(d, key, letterModifiers(d, true));
        return;
    }
    finishKey(d, letterKey(final, "abcd"), d.paramCount == 0 ? kCtrl : -1);
}

void collectParameter(KeyDecoder& d, unsigned char byte) {
    if (byte > ';') {
        // Private markers (< = > ?): replies and private keys, none of ours.
        d.oddSequence = true;
        return;
    }
    if (d.paramCount == 0) {
        d.paramCount = 1;
    }
    if (byte == ';') {
        if (d.paramCount == kMaxSequenceParams) {
            d.oddSequence = true;
        } else {
            ++d.paramCount;
        }
        return;
    }
    if (byte == ':') {
        d.oddSequence = true; // sub-parameters: no key we know uses them
        return;
    }
    int& p = d.params[d.paramCount - 1];
    p = p >= 1000 ? kParamMax : p * 10 + (byte - '0');
}

void feedAfterEsc(KeyDecoder& d, unsigned char byte, bool altPrefix);

// A byte with no sequence pending. Bytes of UTF-8 characters are keys as
// they are; a C1 control outside one is read as its 7-bit form.
void feedGround(KeyDecoder& d, unsigned char byte) {
    if (continuesCharacter(d, byte)) {
        pushCode(d, byte);
    } else if (byte == kEsc) {
        d.state = SequenceState::Escape;
        d.altPrefix = false;
    } else if (inC1Range(byte)) {
        d.state = SequenceState::Escape;
        feedAfterEsc(d, sevenBitFinal(byte), false);
    } else if (byte == kUtf8C1Lead) {
        d.state = SequenceState::GroundC2;
    } else {
        pushCode(d, byte);
    }
}

// The byte after ESC ESC: only [ and O make the first ESC an Alt modifier;
// otherwise it was an Esc press, and the second ESC goes on with the byte.
void feedAfterEscEsc(KeyDecoder& d, unsigned char byte) {
    if (byte == '[' || byte == 'O') {
        feedAfterEsc(d, byte, true);
        return;
    }
    pushCode(d, kEsc);
    feedAfterEsc(d, byte, false);
}

// The byte after a pending ESC. Before a control byte the ESC was an Esc
// press; ESC x with a final byte x is Alt+x (unknown), and so is ESC with a
// character from 0x80 up, all of its UTF-8 bytes. ESC and a C1 control are
// ESC ESC and its 7-bit final.
void feedAfterEsc(KeyDecoder& d, unsigned char byte, bool altPrefix) {
    if (byte == '[') {
        startSequence(d, SequenceState::Csi, altPrefix);
    } else if (byte == 'O') {
        startSequence(d, SequenceState::Ss3, altPrefix);
    } else if (isControl(byte)) {
        pushCode(d, kEsc);
        toGround(d);
        feedGround(d, byte);
    } else if (inC1Range(byte)) {
        feedAfterEscEsc(d, sevenBitFinal(byte));
    } else if (byte >= 0x80) {
        startSequence(d, SequenceState::AltCharacter, false);
        continuesCharacter(d, byte);
        if (d.utf8BytesLeft == 0) {
            pushUnknown(d);
            toGround(d);
        }
    } else if (opensString(byte)) {
        startSequence(d, SequenceState::String, false);
    } else if (byte < 0x30) {
        startSequence(d, SequenceState::EscapeIntermediate, false);
    } else {
        pushUnknown(d);
        toGround(d);
    }
}

// Follows the paste's end marker, ESC [ 2 0 1 ~ (or CSI 2 0 1 ~ as a C1
// control), through the pasted bytes; true at its last byte.
bool pasteEnds(KeyDecoder& d, unsigned char byte) {
    if (isC1Control(d, byte) && byte == kC1Csi) {
        d.pasteEndMatched = 2;
    } else if (byte == kEsc) {
        d.pasteEndMatched = 1;
    } else if (d.pasteEndMatched > 0 && byte == kPasteEnd[d.pasteEndMatched]) {
        ++d.pasteEndMatched;
    } else {
        d.pasteEndMatched = 0;
    }
    return d.pasteEndMatched == kPasteEndLength;
}

// One byte through the state machine; false when the byte cannot belong to
// the pending sequence.
bool step(KeyDecoder& d, unsigned char byte, std::int64_t nowMs) {
    switch (d.state) {
    case SequenceState::Ground:
        feedGround(d, byte);
        return true;
    case SequenceState::GroundC2:
        toGround(d);
        if (inC1Range(byte)) {
            d.state = SequenceState::Escape;
            feedAfterEsc(d, sevenBitFinal(byte), false);
            return true;
        }
        pushCode(d, kUtf8C1Lead);
        continuesCharacter(d, kUtf8C1Lead);
        feedGround(d, byte);
        return true;
    case SequenceState::Escape:
        if (byte == kEsc) {
            d.state = SequenceState::EscapeEscape;
            d.secondEscMs = nowMs;
        } else {
            feedAfterEsc(d, byte, false);
        }
        return true;
    case SequenceState::EscapeEscape:
        if (byte != kEsc && !inC1Range(byte)) {
            feedAfterEscEsc(d, byte);
            return true;
        }
        // The first ESC was an Esc press; the second and this one are ESC ESC.
        pushCode(d, kEsc);
        d.sequenceStartMs = d.secondEscMs;
        d.secondEscMs = nowMs;
        if (byte != kEsc) {
            feedAfterEscEsc(d, sevenBitFinal(byte));
        }
        return true;
    case SequenceState::AltCharacter:
        // C2 and a byte 0x80..0x9F is a C1 control in UTF-8: ESC and it.
        if (d.utf8Lead == kUtf8C1Lead && inC1Range(byte)) {
            feedAfterEscEsc(d, sevenBitFinal(byte));
            return true;
        }
        if (!continuesCharacter(d, byte)) {
            return false;
        }
        if (d.utf8BytesLeft == 0) {
            pushUnknown(d);
            toGround(d);
        }
        return true;
    case SequenceState::EscapeIntermediate:
        if (breaksSequence(byte)) {
            return false;
        }
        if (byte >= 0x30) {
            pushUnknown(d);
            toGround(d);
        }
        return true;
    case SequenceState::Csi:
    case SequenceState::Ss3:
        if (breaksSequence(byte)) {
            return false;
        }
        if (byte >= 0x30 && byte <= 0x3F) {
            collectParameter(d, byte);
        } else if (byte <= 0x2F) {
            // rxvt ends Shift-modified numbered keys with '$', which is an
            // intermediate byte by the grammar: "ESC [ 6 $" is Shift+PgDn.
            if (byte == '$' && d.state == SequenceState::Csi && d.paramCount == 1 &&
                !d.oddSequence) {
                finishCsi(d, byte);
            } else {
                d.oddSequence = true; // intermediates: no key of ours has them
            }
        } else if (d.state == SequenceState::Csi) {
            finishCsi(d, byte);
        } else {
            finishSs3(d, byte);
        }
        return true;
    case SequenceState::LinuxFn:
        if (breaksSequence(byte)) {
            return false;
        }
        if (byte >= 'A' && byte <= 'E') {
            finishKey(d, static_cast<Key>(kF1 + (byte - 'A')), 0);
        } else {
            finishKey(d, kUnknownKey, 0);
        }
        return true;
    case SequenceState::Mouse:
        // Three characters from 32 up: raw bytes, or in mode 1005 UTF-8
        // characters of one or more bytes. Only a control byte cannot belong.
        if (byte < 0x20) {
            return false;
        }
        if (!continuesCharacter(d, byte)) {
            if (d.mouseCharsLeft > 0) {
                --d.mouseCharsLeft;
            } else {
                // The last value was a raw byte (X10 reports of a wide window)
                // that only looked like the start of a UTF-8 character: the
                // report is taken to end with this byte.
                d.utf8BytesLeft = 0;
            }
        }
        if (d.mouseCharsLeft == 0 && d.utf8BytesLeft == 0) {
            pushUnknown(d);
            toGround(d);
        }
        return true;
    case SequenceState::String: {
        // An ESC ends the string, as the first half of ST or the start of the
        // next sequence. Any other control byte or DEL cuts it off as it cuts
        // any sequence: replies carry none, so it is taken for a key.
        if (byte == kEsc) {
            pushUnknown(d);
            d.state = SequenceState::StringEscape;
            return true;
        }
        if (byte != kBel && isControl(byte)) {
            return false;
        }
        // In a title 0x9C may be part of a UTF-8 character; only on its own,
        // or as C2 9C, is it ST.
        const bool terminator = isC1Control(d, byte) && byte == kStringTerminator;
        if (byte == kBel || terminator || ++d.stringBytes >= kMaxStringBytes) {
            pushUnknown(d);
            toGround(d);
        }
        return true;
    }
    case SequenceState::Paste:
        // Pasted text: control bytes and ESC are part of it, up to the end
        // marker or the bound.
        if (pasteEnds(d, byte) || ++d.stringBytes >= kMaxPasteBytes) {
            pushUnknown(d);
            toGround(d);
        }
        return true;
    case SequenceState::StringEscape:
        // The string has given its pair already, and its ESC is no Esc press:
        // with '\' it completes ST, before anything else it opens the next
        // sequence as any ESC does.
        if (byte == '\\') {
            toGround(d);
        } else if (byte == kEsc) {
            d.state = SequenceState::Escape;
        } else if (breaksSequence(byte)) {
            toGround(d);
            feedGround(d, byte);
        } else {
            feedAfterEsc(d, byte, false);
        }
        return true;
    }
    return true;
}

// An ESC that may still be a key, or may end a string, waits the short
// time; anything further into a sequence waits for a slow link.
std::int64_t waitMs(const KeyDecoder& d) {
    const bool escOnly = d.state == SequenceState::Escape ||
                         d.state == SequenceState::EscapeEscape ||
                         d.state == SequenceState::StringEscape;
    return escOnly ? kEscTimeoutMs : kSequenceTimeoutMs;
}

void resolvePending(KeyDecoder& d) {
    switch (d.state) {
    case SequenceState::Ground:
    case SequenceState::StringEscape:
        break;
    case SequenceState::Escape:
        pushCode(d, kEsc);
        break;
    case SequenceState::EscapeEscape:
        pushCode(d, kEsc);
        pushCode(d, kEsc);
        break;
    case SequenceState::GroundC2:
        pushCode(d, kUtf8C1Lead);
        break;
    default:
        pushUnknown(d);
        break;
    }
    toGround(d);
}

} // namespace

void decoderFeed(KeyDecoder& d, unsigned char byte, std::int64_t nowMs) {
    decoderExpire(d, nowMs);
    if (!step(d, byte, nowMs)) {
        // A byte that cannot belong to the sequence cuts it off; it then
        // starts a key of its own.
        pushUnknown(d);
        toGround(d);
        feedGround(d, byte);
    }
    // A pending ESC waits from its arrival, ESC ESC from the first ESC, which
    // may be an Alt modifier. Inside a sequence the wait runs from its latest
    // byte, so that a slow link that spreads a sequence over several reads
    // does not cut it up and let its tail through as keys.
    if (d.state != SequenceState::EscapeEscape) {
        d.sequenceStartMs = nowMs;
    }
}

std::size_t decoderFeedSome(KeyDecoder& d, const unsigned char* bytes, std::size_t count,
                            std::int64_t nowMs) {
    std::size_t fed = 0;
    while (fed < count && decoderRoom(d) >= kMaxCodesPerCall) {
        decoderFeed(d, bytes[fed++], nowMs);
    }
    return fed;
}

void decoderExpire(KeyDecoder& d, std::int64_t nowMs) {
    if (d.state == SequenceState::Ground || nowMs < d.sequenceStartMs) {
        return;
    }
    // Unsigned so that far-apart times cannot overflow the subtraction.
    const std::uint64_t waited =
        static_cast<std::uint64_t>(nowMs) - static_cast<std::uint64_t>(d.sequenceStartMs);
    if (waited >= static_cast<std::uint64_t>(waitMs(d))) {
        resolvePending(d);
    }
}

void decoderFinish(KeyDecoder& d) {
    resolvePending(d);
}

bool decoderPending(const KeyDecoder& d) {
    return d.state != SequenceState::Ground;
}

std::int64_t decoderDeadlineMs(const KeyDecoder& d) {
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    if (d.state == SequenceState::Ground || d.sequenceStartMs > kNever - waitMs(d)) {
        return kNever;
    }
    return d.sequenceStartMs + waitMs(d);
}

bool decoderHasKey(const KeyDecoder& d) {
    return d.queueCount > 0;
}

int decoderRoom(const KeyDecoder& d) {
    return kKeyQueueSize - d.queueCount;
}

int decoderTakeKey(KeyDecoder& d) {
    if (d.queueCount == 0) {
        return -1;
    }
    const int code = d.queue[d.queueHead];
    d.queueHead = (d.queueHead + 1) % kKeyQueueSize;
    --d.queueCount;
    return code;
}
