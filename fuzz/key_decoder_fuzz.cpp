// Fuzzes the key decoder with bytes, arrival gaps and timeouts, and checks
// properties of what comes out rather than just that nothing crashes.
//
// The input is read in pairs (value, control). With control bit 7 set and no
// sequence pending, a known key sequence (chosen by the low bits) is fed and
// must decode to exactly its codes; bit 6 spreads its bytes out in time
// (gaps drawn from `value`): within the Esc timeout after an ESC, else
// anything short of the sequence timeout. Whatever the split, no key comes
// from inside the sequence. Otherwise control & 0x3F gives the gap before
// `value` arrives: up to 47 ms, or 100 ms steps from 100 to 1600; with bit 6
// set the byte was already waiting, so the decoder settles a sequence whose
// time ran out by itself, else the caller expires a pending sequence once its
// deadline passes.
//
// Each byte and timeout is checked against what the bytes alone say it must
// give (codes in range and few per call, bytes with nothing pending, control
// bytes, ESC, strings, pastes, the handled keys, deadlines); where the bytes
// alone cannot tell (the state a C1 control left), the decoder's state says
// which rules apply. A twin nobody drains must keep the oldest codes
// and count the rest as dropped. A third decoder is fed as the console feeds
// it, held back while its queue is short of room and drained a few keys at a
// time as the drive loop does: it must deliver exactly the keys, in order,
// that a reading drained after every byte finds.
#include "console/key_decoder.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using Codes = std::vector<int>;

void check(bool ok) {
    if (!ok) {
        __builtin_trap();
    }
}

struct Probe {
    const char* bytes;
    int first; // -1 for a key of one code
    int second;
};

// Known sequences and the two codes each must decode to (0, 0: a sequence
// that is no key). In octal, \233 is CSI and \217 SS3.
const Probe kProbes[] = {
    {"\x1b[A", 224, 72},         {"\x1bOB", 224, 80}, // Up as CSI, Down as SS3
    {"\x1b[1;5D", 224, 115},     {"\x1b[6~", 224, 81},       {"\x1b[6$", 224, 81},
    {"\x1b[6^", 224, 118},       {"\x1b\x1b[C", 0, 157},     {"\x1b[1;3C", 0, 157},
    {"\x1bOP", 0, 59},           {"\x1bOQ", 0, 60},          {"\x1b[1;2q", 0, 0},
    {"\x1b[1;2P", 0, 0},         {"\x1bOM", 0, 0},           {"\x1b[M qQ", 0, 0},
    {"\x1b[<0;1;1M", 0, 0},      {"\x1b[?1;2c", 0, 0},       {"\x1bq", 0, 0},
    {"\x1b[[A", 0, 59},          {"\x1b[24~", 224, 134},     {"\x1bO5A", 224, 141},
    {"\x1b[a", 224, 72},         {"\x1bOd", 224, 115},       {"\x1b[9999999999999B", 0, 0},
    {"\x1b[6;2;3~", 0, 0},       {"\x1b\x1bOB", 0, 160},     {"\x1b[1;;5A", 0, 0},
    {"\x1b[2a", 0, 0},           {"\x1b[6;2~", 224, 81},     {"\x1b]0;t\x07", 0, 0},
    {"\x1bP1$r2 q\x1b\\", 0, 0}, {"\x1b^HHH\x1b\\", 0, 0},   {"\x1b_G;OK\x1b\\", 0, 0},
    {"\x1bXs\x07", 0, 0},        {"\x1b[M \xc3\x88H", 0, 0}, {"\x1b[200~HHMq\x1b[201~", 0, 0},
    {"\x1b[113;2u", -1, 81},     {"\x1b[113;5u", 0, 0},      {"\2350;t\234", 0, 0},
    {"\233A", 224, 72},          {"\217Q", 0, 60},           {"\x1b[27u", -1, 27},
    {"\x1b[27;1;27~", -1, 27},   {"\x1b\233B", 0, 160},      {"\233200~\x1b\rq\233201~", 0, 0},
    {"\xc2\2336~", 224, 81},     {"\233M Hq", 0, 0},         {"\x1b\xe2\x82\xac", 0, 0},
    {"\220q\xc2\234", 0, 0},     {"\x1b\xc4\x9b", 0, 0},
};
constexpr std::size_t kProbeCount = sizeof kProbes / sizeof kProbes[0];

// The codes the drive logic handles, each with the final bytes it may come
// from when it ends a sequence as the second code of a pair. Esc, q and Q
// also come alone as character codes, from a final u or ~.
struct Handled {
    int code;
    const char* finals;
};
const Handled kHandled[] = {{72, "Aa"}, {80, "Bb"}, {77, "Cc"}, {75, "Dd"}, {81, "~$"}, {113, ""}};

// Bytes as the console holds them: read, not yet fed, all of one read
// having arrived at one time.
struct HeldByte {
    unsigned char byte;
    std::int64_t arrivedMs;
};

struct Harness {
    KeyDecoder decoder;
    KeyDecoder undrained; // gets the same calls, is never drained
    KeyDecoder chunked;   // fed and drained as the console and the drive loop do
    std::vector<HeldByte> held;
    Codes delivered; // every code chunked gave, in order
    unsigned takeSeed = 0;
    Codes all; // every code decoder gave, in order
    std::size_t undrainedSafePrefix = 0;
    bool undrainedDropped = false;
    int escRun = 0;                    // ESC bytes fed in a row, since the last timeout
    std::int64_t escTimes[2] = {0, 0}; // arrivals of the last two ESC bytes, latest first
    unsigned char lastByte = 0;
    bool inString = false;  // a string opened by ESC is open
    int stringBytes = 0;    // bytes it has taken
    bool stringEsc = false; // the last byte was the ESC that ended a string
};

// Feeds what the console holds, as far as the queue has room, a run of bytes
// of one arrival at a time.
void feedHeld(Harness& h) {
    std::size_t at = 0;
    while (at < h.held.size()) {
        std::size_t end = at;
        unsigned char run[64];
        std::size_t length = 0;
        while (end < h.held.size() && length < sizeof run &&
               h.held[end].arrivedMs == h.held[at].arrivedMs) {
            run[length++] = h.held[end++].byte;
        }
        const std::size_t fed = decoderFeedSome(h.chunked, run, length, h.held[at].arrivedMs);
        at += fed;
        if (fed < length) {
            break;
        }
    }
    h.held.erase(h.held.begin(), h.held.begin() + static_cast<std::ptrdiff_t>(at));
}

// The drive loop takes up to `most` keys from the console's decoder.
void takeKeys(Harness& h, int most = kKeyQueueSize) {
    for (; most > 0 && decoderHasKey(h.chunked); --most) {
        h.delivered.push_back(decoderTakeKey(h.chunked));
    }
}

// The drive loop takes a few keys (none at times) and the console feeds what
// fits; with nothing held back and room to spare, a timeout is looked at.
void passChunked(Harness& h, std::int64_t expireAt) {
    // Mostly none, now and then a burst: the queue runs full, as behind a
    // paste or a slow redraw.
    h.takeSeed = h.takeSeed * 1103515245u + 12345u;
    const unsigned roll = (h.takeSeed >> 16) % 16;
    takeKeys(h, roll == 0 ? kKeyQueueSize : roll == 1 ? 1 : 0);
    feedHeld(h);
    if (expireAt >= 0 && h.held.empty() && decoderRoom(h.chunked) >= kMaxCodesPerCall) {
        decoderExpire(h.chunked, expireAt);
    }
    check(h.chunked.droppedCodes == 0);
}

void feedAll(Harness& h, unsigned char byte, std::int64_t now) {
    decoderFeed(h.decoder, byte, now);
    decoderFeed(h.undrained, byte, now);
    h.held.push_back(HeldByte{byte, now});
    passChunked(h, -1);
}

void expireAll(Harness& h, std::int64_t now) {
    decoderExpire(h.decoder, now);
    decoderExpire(h.undrained, now);
    passChunked(h, now);
}

Codes drain(Harness& h) {
    Codes codes;
    while (decoderHasKey(h.decoder)) {
        const int code = decoderTakeKey(h.decoder);
        check(code >= 0 && code <= 255);
        codes.push_back(code);
    }
    check(decoderTakeKey(h.decoder) == -1);
    check(codes.size() <= static_cast<std::size_t>(kMaxCodesPerCall));
    check(h.decoder.droppedCodes == 0);
    h.all.insert(h.all.end(), codes.begin(), codes.end());
    h.undrainedDropped = h.undrainedDropped || h.undrained.droppedCodes != 0;
    if (!h.undrainedDropped) {
        h.undrainedSafePrefix = static_cast<std::size_t>(h.undrained.queueCount);
    }
    return codes;
}

// What resolving a pending sequence must give, judged from the bytes alone
// but for a held 0xC2.
Codes resolution(const Harness& h) {
    return h.decoder.state == SequenceState::GroundC2 ? Codes{0xC2}
           : h.stringEsc                              ? Codes{}
           : h.escRun == 1                            ? Codes{27}
           : h.escRun >= 2                            ? Codes{27, 27}
                                                      : Codes{0, 0};
}

// Nothing is pending any more.
void forgetSequence(Harness& h) {
    h.escRun = 0;
    h.lastByte = 0;
    h.inString = false;
    h.stringEsc = false;
}

// A byte fed with nothing pending: ESC and 0xC2 open a sequence; a byte from
// 0x80 to 0x9F is a C1 control (read as ESC and the byte 0x40 below it) or
// part of a UTF-8 character; any other byte is itself.
void checkGround(Harness& h, unsigned char byte, const Codes& out) {
    const bool pending = decoderPending(h.decoder);
    const bool itself = out == Codes{byte} && !pending;
    if (byte == 0x1B || byte == 0xC2) {
        check(out.empty() && pending);
    } else if (byte >= 0x80 && byte <= 0x9F) {
        const bool opens = std::strchr("[O]PX^_", byte - 0x40) != nullptr;
        check(itself || (opens ? out.empty() && pending : out == Codes{0, 0} && !pending));
    } else {
        check(itself);
    }
}

// A byte fed while a string is open, or right after the ESC that ended one.
void checkString(Harness& h, unsigned char byte, const Codes& out) {
    const bool pending = decoderPending(h.decoder);
    check(!h.stringEsc || byte != '\\' || (out.empty() && !pending)); // the rest of ST
    if (!h.inString) {
        return;
    }
    const bool control = byte < 0x20 || byte == 0x7F;
    if (control) {
        const Codes end = byte == 0x1B || byte == 0x07 ? Codes{0, 0} : Codes{0, 0, byte};
        check(out == end && pending == (byte == 0x1B));
    }
    // 0x9C is ST only outside a UTF-8 character, so it may end the string or not.
    const bool bound = !control && ++h.stringBytes >= kMaxStringBytes;
    h.inString = !control && out.empty();
    check(control || (h.inString ? !bound && pending
                                 : out == Codes{0, 0} && !pending && (bound || byte == 0x9C)));
}

void feedByte(Harness& h, unsigned char byte, std::int64_t now) {
    bool wasPending = decoderPending(h.decoder);
    Codes settled;
    if (wasPending && decoderDeadlineMs(h.decoder) <= now) {
        // The byte came after the sequence's time ran out: the decoder
        // settles the sequence first, and the byte starts afresh.
        settled = resolution(h);
        wasPending = false;
        forgetSequence(h);
    }
    const SequenceState before = wasPending ? h.decoder.state : SequenceState::Ground;
    const bool pasted = before == SequenceState::Paste; // ESC and all are text there
    const bool afterEsc = wasPending && h.lastByte == 0x1B && !pasted;
    const bool opensString = afterEsc && std::strchr("]PX^_", byte) != nullptr && byte != 0;
    feedAll(h, byte, now);
    Codes out = drain(h);
    check(out.size() >= settled.size() && std::equal(settled.begin(), settled.end(), out.begin()));
    out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(settled.size()));
    if (!wasPending) {
        checkGround(h, byte, out);
    } else if (pasted) { // pasted text never acts
        check(out.empty() || (out == Codes{0, 0} && !decoderPending(h.decoder)));
    } else if (byte < 0x20 && byte != 0x1B && !(before == SequenceState::String && byte == 0x07)) {
        // A control byte cuts any sequence off and then counts as itself.
        check(!out.empty() && out.back() == byte && !decoderPending(h.decoder));
    }
    // A key from a pending sequence: Esc pressed before the byte, or the key
    // the sequence names at its final byte, or, after a lone 0xC2 or ESC and
    // an unfinished UTF-8 character, the byte itself.
    const bool characterKey = std::strchr("u~", byte) != nullptr && byte != 0 && out.size() == 1;
    const bool afterCharacter =
        before == SequenceState::GroundC2 || before == SequenceState::AltCharacter;
    for (std::size_t i = 0; i < out.size(); ++i) {
        check(out[i] != 27 || (afterEsc && !h.stringEsc) || characterKey ||
              before == SequenceState::AltCharacter); // an Esc press, not a string's ESC
        for (const Handled& handled : kHandled) {
            if (wasPending && out[i] == handled.code) {
                check((i > 0 && out[i - 1] == 224 && byte != 0 &&
                       std::strchr(handled.finals, byte) != nullptr) ||
                      (characterKey && (out[i] == 'q' || out[i] == 'Q')) ||
                      (afterCharacter && out[i] == byte && i + 1 == out.size()));
            }
        }
    }
    checkString(h, byte, out);
    if (opensString) {
        check(decoderPending(h.decoder) && out == (h.escRun >= 2 ? Codes{27} : Codes{}));
        h.inString = true;
        h.stringBytes = 0;
    }
    h.stringEsc = before == SequenceState::String && byte == 0x1B;
    h.escRun = byte == 0x1B && !h.stringEsc && !pasted ? h.escRun + 1 : 0;
    h.lastByte = byte;
    if (byte == 0x1B) {
        h.escTimes[1] = h.escTimes[0];
        h.escTimes[0] = now;
    }
    // A pending ESC waits the Esc time from that ESC; after ESC ESC from the
    // earlier of the two, which may be an Alt modifier. The ESC that ended a
    // string waits the Esc time too. Further into a sequence the wait runs
    // for the sequence time from its latest byte.
    if (decoderPending(h.decoder)) {
        check(decoderDeadlineMs(h.decoder) == (h.escRun == 1   ? h.escTimes[0] + kEscTimeoutMs
                                               : h.escRun >= 2 ? h.escTimes[1] + kEscTimeoutMs
                                               : h.stringEsc   ? now + kEscTimeoutMs
                                                               : now + kSequenceTimeoutMs));
    }
}

void checkResolved(Harness& h, const Codes& out, const Codes& expected) {
    check(!decoderPending(h.decoder));
    check(out == expected);
    forgetSequence(h);
}

void handleTimeout(Harness& h, std::int64_t now) {
    if (!decoderPending(h.decoder)) {
        return;
    }
    // Never before the deadline, always at it.
    const std::int64_t deadline = decoderDeadlineMs(h.decoder);
    expireAll(h, std::min(now, deadline - 1));
    check(drain(h).empty() && decoderPending(h.decoder));
    if (deadline <= now) {
        const Codes expected = resolution(h);
        expireAll(h, deadline);
        checkResolved(h, drain(h), expected);
    }
}

// A probe's bytes, spread out (seeded by `seed`) or all at once. After an
// ESC the next byte comes within the Esc time (after ESC ESC, both within
// it of the first ESC); any other gap may be anything short of the sequence
// time, as from a slow link.
void feedProbe(Harness& h, const Probe& probe, unsigned seed, bool spread, std::int64_t& now) {
    const std::size_t length = std::strlen(probe.bytes);
    Codes out;
    for (std::size_t i = 0; i < length; ++i) {
        if (i > 0 && spread) {
            seed = seed * 1103515245u + 12345u;
            const std::int64_t roll = (seed >> 16) % kSequenceTimeoutMs;
            now += probe.bytes[i - 1] == '\x1b' ? roll % (kEscTimeoutMs / 2)
                   : roll % 3 == 0              ? kSequenceTimeoutMs - 1
                                                : roll;
            expireAll(h, now); // the caller's wait ends as the byte comes
        }
        feedAll(h, static_cast<unsigned char>(probe.bytes[i]), now);
        const Codes some = drain(h);
        out.insert(out.end(), some.begin(), some.end());
    }
    const Codes expected = probe.first < 0 ? Codes{probe.second} : Codes{probe.first, probe.second};
    check(out == expected && !decoderPending(h.decoder));
    forgetSequence(h);
    h.lastByte = static_cast<unsigned char>(probe.bytes[length - 1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness h;
    std::int64_t now = 1000;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const std::uint8_t value = data[i];
        const std::uint8_t control = data[i + 1];
        const Probe& probe = kProbes[(control & 0x3F) % kProbeCount];
        // A probe starts with nothing pending, and one that starts with a C1
        // control outside any UTF-8 character.
        if ((control & 0x80) && !decoderPending(h.decoder) &&
            (probe.bytes[0] == '\x1b' || h.decoder.utf8BytesLeft == 0)) {
            feedProbe(h, probe, value, (control & 0x40) != 0, now);
            continue;
        }
        const int gap = control & 0x3F;
        now += gap < 48 ? gap : (gap - 47) * 100;
        if (!(control & 0x40)) {
            handleTimeout(h, now);
        }
        feedByte(h, value, now);
    }

    const bool pending = decoderPending(h.decoder);
    const Codes expected = resolution(h);
    decoderFinish(h.decoder);
    decoderFinish(h.undrained);
    const Codes out = drain(h);

    // The console at the end of input: everything held is fed, keys taken
    // as they come, then what is pending resolves; nothing was lost, and the
    // order is the order typed.
    for (takeKeys(h); !h.held.empty(); takeKeys(h)) {
        feedHeld(h);
    }
    decoderFinish(h.chunked);
    takeKeys(h);
    check(h.chunked.droppedCodes == 0);
    check(h.delivered == h.all);
    if (pending) {
        checkResolved(h, out, expected);
    } else {
        check(out.empty());
    }
    check(!decoderPending(h.decoder) && !decoderPending(h.undrained));
    check(decoderDeadlineMs(h.decoder) == INT64_MAX);

    // The undrained twin holds the oldest codes, up to where it first ran out
    // of room, and every code is either held or counted as dropped.
    Codes held;
    while (decoderHasKey(h.undrained)) {
        held.push_back(decoderTakeKey(h.undrained));
    }
    check(held.size() <= static_cast<std::size_t>(kKeyQueueSize));
    check(static_cast<std::int64_t>(held.size()) + h.undrained.droppedCodes ==
          static_cast<std::int64_t>(h.all.size()));
    const std::size_t prefix = h.undrainedDropped ? h.undrainedSafePrefix : held.size();
    check(prefix <= held.size() && std::equal(held.begin(), held.begin() + prefix, h.all.begin()));
    return 0;
}
