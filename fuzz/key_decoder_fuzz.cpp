// Fuzzes the key decoder with bytes, arrival gaps and timeouts, and checks
// properties of what comes out rather than just that nothing crashes.
//
// The input is read in pairs (value, control):
//   control bit 7 set: if no sequence is pending, a known key sequence
//     (chosen by the low bits) is fed and must decode to exactly its codes;
//     bit 6 spreads its bytes out in time, still within the Esc timeout.
//   otherwise: control & 0x3F is the gap in ms before `value` arrives; with
//     bit 6 set the byte was already waiting, so no timeout is handled first,
//     else the caller expires a pending sequence once its deadline passes.
//
// Properties:
//   - codes are 0..255, -1 only from an empty queue; at most kMaxCodesPerCall
//     codes per call; a queue that is drained after each call never drops;
//   - with nothing pending, a byte other than ESC gives exactly itself, and
//     a control byte other than ESC ends a pending sequence and gives itself;
//   - 27 only comes from a byte fed right after an ESC;
//   - a handled code (72 75 77 80 81 113) produced while a sequence is pending
//     is the second code of a 224 pair and was finished by the byte that
//     means it (A/a Up, B/b Down, C/c Right, D/d Left, ~ or $ PgDn);
//   - a pending ESC's deadline runs from the right ESC, a sequence's from
//     its latest byte;
//   - a timeout never fires early, and fires with 27 for a lone ESC, 27 27
//     for ESC ESC, one 0,0 pair for anything else; decoderFinish the same;
//   - a decoder nobody drains keeps the oldest codes and loses no count.
#include "console/key_decoder.h"

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
    int first;
    int second;
};

const Probe kProbes[] = {
    {"\x1b[A", 224, 72},
    {"\x1bOB", 224, 80},
    {"\x1b[1;5D", 224, 115},
    {"\x1b[6~", 224, 81},
    {"\x1b[6$", 224, 81},
    {"\x1b[6^", 224, 118},
    {"\x1b\x1b[C", 0, 157},
    {"\x1b[1;3C", 0, 157},
    {"\x1bOP", 0, 59},
    {"\x1bOQ", 0, 60},
    {"\x1b[1;2q", 0, 0},
    {"\x1b[1;2P", 0, 0},
    {"\x1bOM", 0, 0},
    {"\x1b[M qQ", 0, 0},
    {"\x1b[<0;1;1M", 0, 0},
    {"\x1b[?1;2c", 0, 0},
    {"\x1bq", 0, 0},
    {"\x1b[[A", 0, 59},
    {"\x1b[24~", 224, 134},
    {"\x1bO5A", 224, 141},
    {"\x1b[a", 224, 72},
    {"\x1bOd", 224, 115},
    {"\x1b[9999999999999B", 0, 0},
    {"\x1b[6;2;3~", 0, 0},
    {"\x1b\x1bOB", 0, 160},
    {"\x1b[1;;5A", 0, 0},
    {"\x1b[2a", 0, 0},
    {"\x1b[6;2~", 224, 81},
};
constexpr std::size_t kProbeCount = sizeof kProbes / sizeof kProbes[0];

struct Harness {
    KeyDecoder decoder;
    KeyDecoder undrained; // gets the same calls, is never drained
    Codes all;            // every code decoder gave, in order
    std::size_t undrainedSafePrefix = 0;
    bool undrainedDropped = false;
    int escRun = 0;                    // ESC bytes fed in a row, since the last timeout
    std::int64_t escTimes[2] = {0, 0}; // arrivals of the last two ESC bytes, latest first
    unsigned char lastByte = 0;
};

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
    if (!h.undrainedDropped) {
        if (h.undrained.droppedCodes == 0) {
            h.undrainedSafePrefix = static_cast<std::size_t>(h.undrained.queueCount);
        } else {
            h.undrainedDropped = true;
        }
    }
    return codes;
}

bool isHandled(int code) {
    return code == 72 || code == 75 || code == 77 || code == 80 || code == 81 || code == 113;
}

// The final byte a handled code may come from when it ends a sequence.
bool finalMeans(unsigned char byte, int code) {
    switch (code) {
    case 72:
        return byte == 'A' || byte == 'a';
    case 80:
        return byte == 'B' || byte == 'b';
    case 77:
        return byte == 'C' || byte == 'c';
    case 75:
        return byte == 'D' || byte == 'd';
    case 81:
        return byte == '~' || byte == '$';
    default:
        return false;
    }
}

void feedByte(Harness& h, unsigned char byte, std::int64_t now) {
    const bool wasPending = decoderPending(h.decoder);
    decoderFeed(h.decoder, byte, now);
    decoderFeed(h.undrained, byte, now);
    const Codes out = drain(h);
    if (!wasPending) {
        check(byte == 0x1B ? out.empty() && decoderPending(h.decoder)
                           : out.size() == 1 && out[0] == byte && !decoderPending(h.decoder));
    }
    if (wasPending && byte < 0x20 && byte != 0x1B) {
        // A control byte cuts any sequence off and then counts as itself.
        check(!out.empty() && out.back() == byte && !decoderPending(h.decoder));
    }
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] == 27) {
            check(wasPending && h.lastByte == 0x1B);
        }
        if (wasPending && isHandled(out[i])) {
            check(i > 0 && out[i - 1] == 224 && finalMeans(byte, out[i]));
        }
    }
    h.escRun = byte == 0x1B ? h.escRun + 1 : 0;
    h.lastByte = byte;
    if (byte == 0x1B) {
        h.escTimes[1] = h.escTimes[0];
        h.escTimes[0] = now;
    }
    // A pending ESC runs from that ESC; after ESC ESC from the earlier of the
    // two, which may be an Alt modifier. Inside a sequence the wait runs from
    // its latest byte.
    if (decoderPending(h.decoder)) {
        const std::int64_t start = decoderDeadlineMs(h.decoder) - kEscTimeoutMs;
        if (h.escRun == 1) {
            check(start == h.escTimes[0]);
        } else if (h.escRun >= 2) {
            check(start == h.escTimes[1]);
        } else {
            check(start == now);
        }
    }
}

// What resolving a pending sequence must give, judged from the bytes alone.
void checkResolved(Harness& h, const Codes& out) {
    check(!decoderPending(h.decoder));
    if (h.escRun == 1) {
        check(out == Codes{27});
    } else if (h.escRun >= 2) {
        check((out == Codes{27, 27}));
    } else {
        check((out == Codes{0, 0}));
    }
    h.escRun = 0;
    h.lastByte = 0;
}

void handleTimeout(Harness& h, std::int64_t now) {
    if (!decoderPending(h.decoder)) {
        return;
    }
    const std::int64_t deadline = decoderDeadlineMs(h.decoder);
    if (deadline > now) {
        decoderExpire(h.decoder, now);
        decoderExpire(h.undrained, now);
        check(drain(h).empty() && decoderPending(h.decoder));
        return;
    }
    decoderExpire(h.decoder, deadline - 1);
    decoderExpire(h.undrained, deadline - 1);
    check(drain(h).empty() && decoderPending(h.decoder));
    decoderExpire(h.decoder, deadline);
    decoderExpire(h.undrained, deadline);
    checkResolved(h, drain(h));
}

void feedProbe(Harness& h, const Probe& probe, bool spread, std::int64_t& now) {
    const std::size_t length = std::strlen(probe.bytes);
    const std::int64_t gap = spread ? (kEscTimeoutMs - 1) / static_cast<std::int64_t>(length) : 0;
    Codes out;
    for (std::size_t i = 0; i < length; ++i) {
        if (i > 0) {
            now += gap;
            decoderExpire(h.decoder, now); // the caller's wait ends as the byte comes
            decoderExpire(h.undrained, now);
        }
        decoderFeed(h.decoder, static_cast<unsigned char>(probe.bytes[i]), now);
        decoderFeed(h.undrained, static_cast<unsigned char>(probe.bytes[i]), now);
        const Codes some = drain(h);
        out.insert(out.end(), some.begin(), some.end());
    }
    check((out == Codes{probe.first, probe.second}) && !decoderPending(h.decoder));
    h.escRun = 0;
    h.lastByte = static_cast<unsigned char>(probe.bytes[length - 1]);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Harness h;
    std::int64_t now = 1000;
    for (std::size_t i = 0; i + 1 < size; i += 2) {
        const std::uint8_t value = data[i];
        const std::uint8_t control = data[i + 1];
        if ((control & 0x80) && !decoderPending(h.decoder)) {
            feedProbe(h, kProbes[(control & 0x3F) % kProbeCount], (control & 0x40) != 0, now);
            continue;
        }
        now += control & 0x3F;
        if (!(control & 0x40)) {
            handleTimeout(h, now);
        }
        feedByte(h, value, now);
    }

    const bool pending = decoderPending(h.decoder);
    decoderFinish(h.decoder);
    decoderFinish(h.undrained);
    const Codes out = drain(h);
    if (pending) {
        checkResolved(h, out);
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
    check(prefix <= held.size());
    for (std::size_t i = 0; i < prefix; ++i) {
        check(held[i] == h.all[i]);
    }
    return 0;
}
