#include "console/key_decoder.h"

#include <limits>

namespace {

constexpr unsigned char kEsc = 0x1B;
constexpr int kExtendedPrefix = 224;
constexpr int kParamMax = 9999; // larger numbers mean nothing to us

// Modifier bits, as in the xterm parameter (which is 1 + these bits).
constexpr int kShift = 1;
constexpr int kAlt = 2;
constexpr int kCtrl = 4;
constexpr int kMeta = 8;

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
    kUnknownKey,
};

// The Windows codes of a key. Arrows and PgDn also have Ctrl and Alt codes,
// and Shift leaves them as they are; for the other keys any modifier makes
// the key one we do not tell apart (0 means "none").
struct KeyCodes {
    int prefix;
    int plain;
    int ctrl;
    int alt;
};

constexpr KeyCodes kKeyCodes[] = {
    {224, 72, 141, 152}, // Up
    {224, 80, 145, 160}, // Down
    {224, 75, 115, 155}, // Left
    {224, 77, 116, 157}, // Right
    {224, 81, 118, 161}, // PgDn
    {224, 71, 0, 0},     // Home
    {224, 79, 0, 0},     // End
    {224, 73, 0, 0},     // PgUp
    {224, 82, 0, 0},     // Insert
    {224, 83, 0, 0},     // Delete
    {0, 59, 0, 0},       // F1
    {0, 60, 0, 0},       // F2
    {0, 61, 0, 0},       // F3
    {0, 62, 0, 0},       // F4
    {0, 63, 0, 0},       // F5
    {0, 64, 0, 0},       // F6
    {0, 65, 0, 0},       // F7
    {0, 66, 0, 0},       // F8
    {0, 67, 0, 0},       // F9
    {0, 68, 0, 0},       // F10
    {224, 133, 0, 0},    // F11
    {224, 134, 0, 0},    // F12
};

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
    if (key == kUnknownKey) {
        pushUnknown(d);
        return;
    }
    const KeyCodes& k = kKeyCodes[key];
    const bool arrowLike = k.ctrl != 0;
    if (mods & kCtrl) {
        if (arrowLike) {
            pushPair(d, kExtendedPrefix, k.ctrl);
        } else {
            pushUnknown(d);
        }
    } else if (mods & (kAlt | kMeta)) {
        if (arrowLike) {
            pushPair(d, 0, k.alt);
        } else {
            pushUnknown(d);
        }
    } else if ((mods & kShift) && !arrowLike) {
        pushUnknown(d);
    } else {
        pushPair(d, k.prefix, k.plain);
    }
}

// Control bytes, DEL and bytes from 0x80 up never occur inside a sequence.
bool breaksSequence(unsigned char byte) {
    return byte < 0x20 || byte >= 0x7F;
}

void toGround(KeyDecoder& d) {
    d.state = SequenceState::None;
    d.altPrefix = false;
}

void startSequence(KeyDecoder& d, SequenceState state, bool altPrefix) {
    d.state = state;
    d.altPrefix = altPrefix;
    for (int& p : d.params) {
        p = 0;
    }
    d.paramCount = 0;
    d.oddSequence = false;
    d.mouseBytesLeft = 0;
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
    if (d.params[0] > 1) {
        return -1;
    }
    return modifierBits(d.params[1]);
}

Key tildeKey(int number) {
    switch (number) {
    case 1:
    case 7:
        return kHome;
    case 4:
    case 8:
        return kEnd;
    case 2:
        return kInsert;
    case 3:
        return kDelete;
    case 5:
        return kPageUp;
    case 6:
        return kPageDown;
    case 23:
        return kF11;
    case 24:
        return kF12;
    default:
        break;
    }
    if (number >= 11 && number <= 15) {
        return static_cast<Key>(kF1 + (number - 11));
    }
    if (number >= 17 && number <= 21) {
        return static_cast<Key>(kF6 + (number - 17));
    }
    return kUnknownKey;
}

Key letterKey(unsigned char final) {
    switch (final) {
    case 'A':
        return kUp;
    case 'B':
        return kDown;
    case 'C':
        return kRight;
    case 'D':
        return kLeft;
    case 'H':
        return kHome;
    case 'F':
        return kEnd;
    default:
        return kUnknownKey;
    }
}

// rxvt's lower-case arrow finals (Shift in CSI, Ctrl in SS3).
Key rxvtArrowKey(unsigned char final) {
    switch (final) {
    case 'a':
        return kUp;
    case 'b':
        return kDown;
    case 'c':
        return kRight;
    case 'd':
        return kLeft;
    default:
        return kUnknownKey;
    }
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

void finishCsi(KeyDecoder& d, unsigned char final) {
    if (d.oddSequence) {
        pushUnknown(d);
        toGround(d);
        return;
    }
    if (final == '[' && d.paramCount == 0) {
        d.state = SequenceState::LinuxFn;
        return;
    }
    if (final == 'M' && d.paramCount == 0) {
        d.state = SequenceState::Mouse;
        d.mouseBytesLeft = 3;
        return;
    }
    if (letterKey(final) != kUnknownKey) {
        finishKey(d, letterKey(final), letterModifiers(d, false));
        return;
    }
    if (rxvtArrowKey(final) != kUnknownKey) {
        finishKey(d, rxvtArrowKey(final), d.paramCount == 0 ? kShift : -1);
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
    Key key = letterKey(final);
    if (final >= 'P' && final <= 'S') {
        key = static_cast<Key>(kF1 + (final - 'P'));
    }
    if (key != kUnknownKey) {
        finishKey(d, key, letterModifiers(d, true));
        return;
    }
    finishKey(d, rxvtArrowKey(final), d.paramCount == 0 ? kCtrl : -1);
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

void feedGround(KeyDecoder& d, unsigned char byte, std::int64_t nowMs) {
    if (byte == kEsc) {
        d.state = SequenceState::Esc;
        d.altPrefix = false;
        d.sequenceStartMs = nowMs;
    } else {
        pushCode(d, byte);
    }
}

// The byte after a pending ESC. ESC [ and ESC O start sequences, ESC x is
// Alt+x (unknown); before a control byte the ESC was an Esc press.
void feedAfterEsc(KeyDecoder& d, unsigned char byte, std::int64_t nowMs, bool altPrefix) {
    if (byte == '[') {
        startSequence(d, SequenceState::Csi, altPrefix);
    } else if (byte == 'O') {
        startSequence(d, SequenceState::Ss3, altPrefix);
    } else if (breaksSequence(byte)) {
        pushCode(d, kEsc);
        toGround(d);
        feedGround(d, byte, nowMs);
    } else {
        pushUnknown(d);
        toGround(d);
    }
}

} // namespace

void decoderFeed(KeyDecoder& d, unsigned char byte, std::int64_t nowMs) {
    decoderExpire(d, nowMs);
    // Inside a sequence the wait runs from its latest byte, so that a slow
    // link that spreads a sequence over several reads does not cut it up and
    // let its tail through as keys.
    const bool inSequence = d.state == SequenceState::Csi || d.state == SequenceState::Ss3 ||
                            d.state == SequenceState::LinuxFn || d.state == SequenceState::Mouse;
    const bool opensSequence =
        (d.state == SequenceState::Esc || d.state == SequenceState::EscEsc) &&
        (byte == '[' || byte == 'O');
    if (inSequence || opensSequence) {
        d.sequenceStartMs = nowMs;
    }
    switch (d.state) {
    case SequenceState::None:
        feedGround(d, byte, nowMs);
        return;
    case SequenceState::Esc:
        if (byte == kEsc) {
            d.state = SequenceState::EscEsc;
            d.secondEscMs = nowMs;
        } else {
            feedAfterEsc(d, byte, nowMs, false);
        }
        return;
    case SequenceState::EscEsc:
        // Only ESC ESC [ and ESC ESC O make the first ESC an Alt modifier;
        // otherwise it was an Esc press and the second ESC goes on alone.
        if (byte == '[' || byte == 'O') {
            feedAfterEsc(d, byte, nowMs, true);
            return;
        }
        pushCode(d, kEsc);
        if (byte == kEsc) {
            d.sequenceStartMs = d.secondEscMs;
            d.secondEscMs = nowMs;
            return;
        }
        d.state = SequenceState::Esc;
        d.sequenceStartMs = d.secondEscMs;
        feedAfterEsc(d, byte, nowMs, false);
        return;
    case SequenceState::Mouse:
        // The report's three bytes are raw values from 32 up, so anything but
        // a control byte belongs to it.
        if (byte >= 0x20) {
            if (--d.mouseBytesLeft == 0) {
                pushUnknown(d);
                toGround(d);
            }
            return;
        }
        break;
    case SequenceState::LinuxFn:
        if (!breaksSequence(byte)) {
            const bool fkey = byte >= 'A' && byte <= 'E';
            finishKey(d, fkey ? static_cast<Key>(kF1 + (byte - 'A')) : kUnknownKey, 0);
            return;
        }
        break;
    case SequenceState::Csi:
    case SequenceState::Ss3:
        if (breaksSequence(byte)) {
            break;
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
        return;
    }
    // A byte that cannot belong to the sequence cuts it off; it then starts
    // a key of its own.
    pushUnknown(d);
    toGround(d);
    feedGround(d, byte, nowMs);
}

std::size_t decoderFeedSome(KeyDecoder& d, const unsigned char* bytes, std::size_t count,
                            std::int64_t nowMs) {
    std::size_t fed = 0;
    while (fed < count && decoderRoom(d) >= kMaxCodesPerCall) {
        decoderFeed(d, bytes[fed++], nowMs);
    }
    return fed;
}

namespace {

void resolvePending(KeyDecoder& d) {
    switch (d.state) {
    case SequenceState::None:
        return;
    case SequenceState::Esc:
        pushCode(d, kEsc);
        break;
    case SequenceState::EscEsc:
        pushCode(d, kEsc);
        pushCode(d, kEsc);
        break;
    default:
        pushUnknown(d);
        break;
    }
    toGround(d);
}

} // namespace

void decoderExpire(KeyDecoder& d, std::int64_t nowMs) {
    if (d.state == SequenceState::None || nowMs < d.sequenceStartMs) {
        return;
    }
    // Unsigned so that far-apart times cannot overflow the subtraction.
    const std::uint64_t waited =
        static_cast<std::uint64_t>(nowMs) - static_cast<std::uint64_t>(d.sequenceStartMs);
    if (waited >= static_cast<std::uint64_t>(kEscTimeoutMs)) {
        resolvePending(d);
    }
}

void decoderFinish(KeyDecoder& d) {
    resolvePending(d);
}

bool decoderPending(const KeyDecoder& d) {
    return d.state != SequenceState::None;
}

std::int64_t decoderDeadlineMs(const KeyDecoder& d) {
    constexpr std::int64_t kNever = std::numeric_limits<std::int64_t>::max();
    if (d.state == SequenceState::None || d.sequenceStartMs > kNever - kEscTimeoutMs) {
        return kNever;
    }
    return d.sequenceStartMs + kEscTimeoutMs;
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
