#include "console/key_decoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Codes = std::vector<int>;

Codes takeAll(KeyDecoder& d) {
    Codes codes;
    while (decoderHasKey(d)) {
        codes.push_back(decoderTakeKey(d));
    }
    return codes;
}

// Feeds bytes arriving together, taking the keys after each one as the
// program does.
Codes feed(KeyDecoder& d, const std::string& bytes, std::int64_t nowMs = 0) {
    Codes codes;
    for (char c : bytes) {
        decoderFeed(d, static_cast<unsigned char>(c), nowMs);
        Codes some = takeAll(d);
        codes.insert(codes.end(), some.begin(), some.end());
    }
    return codes;
}

// All bytes arrive at once, then the input ends.
Codes decode(const std::string& bytes) {
    KeyDecoder d;
    Codes codes = feed(d, bytes);
    decoderFinish(d);
    Codes rest = takeAll(d);
    codes.insert(codes.end(), rest.begin(), rest.end());
    EXPECT_FALSE(decoderPending(d));
    return codes;
}

struct Case {
    const char* bytes;
    Codes codes;
};

void expectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(decode(c.bytes), c.codes) << "input: " << testing::PrintToString(c.bytes);
    }
}

const Codes kUnknown = {0, 0};

void expectUnknown(std::initializer_list<const char*> inputs) {
    for (const char* bytes : inputs) {
        EXPECT_EQ(decode(bytes), kUnknown) << "input: " << testing::PrintToString(bytes);
    }
}

} // namespace

// Arrows and PgDn, plain and with Shift, which leaves them as they are.
TEST(KeyDecoderKeys, KnownKeysGiveTheirWindowsCodes) {
    expectAll({
        {"\x1b[A", {224, 72}},    {"\x1b[B", {224, 80}},    {"\x1b[D", {224, 75}},
        {"\x1b[C", {224, 77}},    {"\x1b[6~", {224, 81}},   {"\x1bOA", {224, 72}},
        {"\x1bOB", {224, 80}},    {"\x1bOD", {224, 75}},    {"\x1bOC", {224, 77}},
        {"\x1b[1;2A", {224, 72}}, {"\x1b[1;2D", {224, 75}}, {"\x1b[6;2~", {224, 81}},
        {"\x1bO2B", {224, 80}},   {"\x1b[a", {224, 72}},    {"\x1b[b", {224, 80}},
        {"\x1b[c", {224, 77}},    {"\x1b[d", {224, 75}},    {"\x1b[6$", {224, 81}},
        {"\x1b[1;1C", {224, 77}}, {"\x1b[;C", {224, 77}},
    });
    // Ctrl, also with Shift or Alt; Alt or Meta, as a parameter or a doubled ESC.
    expectAll({
        {"\x1b[1;5A", {224, 141}},   {"\x1b[1;5B", {224, 145}}, {"\x1b[1;5D", {224, 115}},
        {"\x1b[1;5C", {224, 116}},   {"\x1b[6;5~", {224, 118}}, {"\x1bO5A", {224, 141}},
        {"\x1bOa", {224, 141}},      {"\x1bOb", {224, 145}},    {"\x1bOc", {224, 116}},
        {"\x1bOd", {224, 115}},      {"\x1b[6^", {224, 118}},   {"\x1b[6@", {224, 118}},
        {"\x1b[1;6A", {224, 141}},   {"\x1b[1;7B", {224, 145}}, {"\x1b\x1b[1;5C", {224, 116}},
        {"\x1b\x1b[6^", {224, 118}}, {"\x1b[1;3A", {0, 152}},   {"\x1b[1;3B", {0, 160}},
        {"\x1b[1;3D", {0, 155}},     {"\x1b[1;3C", {0, 157}},   {"\x1b[6;3~", {0, 161}},
        {"\x1b[1;9A", {0, 152}},     {"\x1bO3D", {0, 155}},     {"\x1b\x1b[A", {0, 152}},
        {"\x1b\x1bOB", {0, 160}},    {"\x1b\x1b[6~", {0, 161}}, {"\x1b\x1b[6$", {0, 161}},
        {"\x1b\x1b[1;2C", {0, 157}},
    });
    expectAll({
        {"\x1b[H", {224, 71}},  {"\x1bOH", {224, 71}},    {"\x1b[1~", {224, 71}},
        {"\x1b[7~", {224, 71}}, {"\x1b[F", {224, 79}},    {"\x1bOF", {224, 79}},
        {"\x1b[4~", {224, 79}}, {"\x1b[8~", {224, 79}},   {"\x1b[5~", {224, 73}},
        {"\x1b[2~", {224, 82}}, {"\x1b[3~", {224, 83}},   {"\x1bOP", {0, 59}},
        {"\x1bOQ", {0, 60}},    {"\x1bOR", {0, 61}},      {"\x1bOS", {0, 62}},
        {"\x1b[11~", {0, 59}},  {"\x1b[15~", {0, 63}},    {"\x1b[17~", {0, 64}},
        {"\x1b[21~", {0, 68}},  {"\x1b[23~", {224, 133}}, {"\x1b[24~", {224, 134}},
        {"\x1b[[A", {0, 59}},   {"\x1b[[C", {0, 61}},     {"\x1b[[E", {0, 63}},
    });
    // As 8-bit C1 controls, alone or in UTF-8 (in octal: \233 is 0x9B, CSI;
    // \217 is 0x8F, SS3); ESC and one is Alt. Keys as character codes
    // (kitty's CSI u, xterm's modifyOtherKeys): Esc, q and Q unmodified, or
    // with only a lock on; Q also as Shift+q.
    expectAll({
        {"\233A", {224, 72}},     {"\2336~", {224, 81}},       {"\xc2\233D", {224, 75}},
        {"\217B", {224, 80}},     {"\xc2\217C", {224, 77}},    {"\233H", {224, 71}},
        {"\xc2\233H", {224, 71}}, {"\217P", {0, 59}},          {"\217Q", {0, 60}},
        {"\x1b\233A", {0, 152}},  {"\x1b\xc2\233A", {0, 152}}, {"\x1b[27u", {27}},
        {"\x1b[27;1;27~", {27}},  {"\x1b[27;129u", {27}},      {"\x1b[113u", {113}},
        {"\x1b[113;65u", {113}},  {"\x1b[113;1;113u", {113}},  {"\x1b[81u", {81}},
        {"\x1b[113;2u", {81}},    {"\23327u", {27}},
    });
}

// Modified keys we do not tell apart and sequences we do not know are one
// unhandled pair each, never their bytes as keys: F2 must not quit, a final
// 'q' must not quit, a mouse report's bytes must not steer (nor those of one
// in mode 1005, in UTF-8), a string must not act on what it carries (up to
// BEL or ST): a DECRQSS reply's " q" must not quit. The same for C1 mouse
// reports and strings, ST and NEL alone; other keys as character codes, and
// releases; Alt with a character from 0x80 up (e with caron, s with caron,
// the euro, a car, Latin-1); a paste that never ends.
TEST(KeyDecoderKeys, EverythingElseIsOneUnknownPair) {
    expectUnknown({
        "\x1b[1;2P",      "\x1b[1;5Q",      "\x1bO2Q",     "\x1b[1;2q",
        "\x1b[15;5~",     "\x1b[1;2H",      "\x1b[3$",     "\x1b[5^",
        "\x1b\x1b[H",     "\x1b\x1b[[A",    "\x1b[[F",     "\x1bOM",
        "\x1bOq",         "\x1b[Q",         "\x1b[6;2;3~", "\x1b[1;;5A",
        "\x1b[2a",        "\x1b[9~",        "\x1b[16~",    "\x1b[1;17A",
        "\x1b[2;5A",      "\x1b[5A",        "\x1b[1 5~",   "\x1b[6;5$",
        "\x1b[?1;2c",     "\x1b[>0;1q",     "\x1b[1 q",    "\x1b[ 6~",
        "\x1b[6:5~",      "\x1b[<0;10;20M", "\x1b[M qQ",   "\x1b[M\xe0\xff\x80",
        "\x1b[32;10;20M", "\x1bq",          "\x1bH",       "\x1b ",
        "\x1b[6",         "\x1bO",          "\x1b[",       "\x1b\x1b[",
        "\x1b[[",         "\x1b[M a",       "\x1b^PM\x07", "\x1b[M \xdf\xbf\xc3\x88",
        "\x1b]0;t\x1b\\", "\x1b_OK\x1b\\",  "\x1b_OK\x07", "\x1b]\xe2\x9c\x9cH\x07",
        "\x1b^HHH\x1b\\", "\x1b]0;t\x07",   "\x1bXs\x07",  "\x1bP1$r2 q\x1b\\",
        "\x1bP1$r0m\x9c", "\x1bPq#0\x07",   "\x1b(B",      "\x1b[M \xc3\x88H",
        "\x1bXs\x1b\\",
    });
    expectUnknown({
        "\233M Hq",     "\2350;t\x07",   "\235t\xc2\234",    "\2201$r2 q\234",
        "\236HH\234",   "\237OK\x1b\\",  "\230s\234",        "\xc2\235q\x07",
        "\234",         "\205",          "\x1b[27;5u",       "\x1b\x1b[27u",
        "\x1b[113;6u",  "\x1b[72u",      "\x1b[104;2u",      "\x1b[113:81;2u",
        "\x1b[27;1:3u", "\x1b[27;2;27~", "\x1b[27;1;72~",    "\x1b[u",
        "\x1b\xc4\x9b", "\x1b\xc5\xa1",  "\x1b\xe2\x82\xac", "\x1b\xf0\x9f\x9a\x97",
        "\x1b\xe9",     "\x1b[200~Q",
    });
}

// Bytes that arrive at the given times (ms), the bytes of each string
// spacingMs apart, fed as they arrive however late the caller gets to them;
// then the time runs on to endMs. Every code, as the program takes them.
struct Timed {
    std::vector<std::pair<std::int64_t, std::string>> arrivals;
    std::int64_t spacingMs;
    std::int64_t endMs;
    Codes codes;
};

Codes decodeTimed(const Timed& t) {
    KeyDecoder d;
    Codes codes;
    for (const auto& [at, bytes] : t.arrivals) {
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            const Codes some = feed(d, bytes.substr(i, 1), at + std::int64_t(i) * t.spacingMs);
            codes.insert(codes.end(), some.begin(), some.end());
        }
    }
    decoderExpire(d, t.endMs);
    const Codes rest = takeAll(d);
    codes.insert(codes.end(), rest.begin(), rest.end());
    return codes;
}

TEST(KeyDecoderEsc, TheWaitForTheRestOfASequence) {
    std::vector<Timed> cases = {
        // A lone Esc is a key once 30 ms have passed. ESC ESC waits from the
        // first; a third ESC settles the first, and the wait runs from the
        // second.
        {{{1000, "\x1b"}}, 0, 1029, {}},
        {{{1000, "\x1b"}}, 0, 1030, {27}},
        {{{0, "\x1b"}, {20, "\x1b"}}, 0, 30, {27, 27}},
        {{{100, "\x1b"}, {110, "\x1b"}, {125, "\x1b"}}, 0, 139, {27}},
        {{{100, "\x1b"}, {110, "\x1b"}, {125, "\x1b"}}, 0, 140, {27, 27, 27}},
        // Esc, then an arrow 30 ms or more later, are two keys; sooner, Alt+Up.
        {{{1000, "\x1b"}, {1040, "\x1b[A"}}, 0, 1040, {27, 224, 72}},
        {{{1000, "\x1b"}, {1030, "\x1b[A"}}, 0, 1030, {27, 224, 72}},
        {{{1000, "\x1b"}, {1029, "\x1b[A"}}, 0, 1029, {0, 152}},
        // A slow link, a byte every 20 ms: never 30 ms without one, so
        // nothing is cut up. P must not leak out as Down, nor H as Up.
        {{{100, "\x1bOP"}}, 20, 300, {0, 59}},
        {{{100, "\x1b[1;5B"}}, 20, 300, {224, 145}},
        {{{100, "\x1b^HHH\x1b\\"}}, 20, 300, kUnknown},
        // Once ESC [ or ESC O is in, or a C1 control, a pause of up to 1.5 s
        // does not cut the sequence: Home is no Up, Ctrl+Home no Up either.
        {{{100, "\x1bO"}, {140, "H"}}, 0, 140, {224, 71}},
        {{{100, "\x1b[1;5"}, {140, "H"}}, 0, 140, kUnknown},
        {{{100, "\x1b["}, {1599, "6"}, {3098, "~"}}, 0, 3098, {224, 81}},
        {{{100, "\xc2"}, {1599, "\233"}, {3098, "A"}}, 0, 3098, {224, 72}},
        {{{100, "\x1b\xc4"}, {1599, "\x9b"}}, 0, 3099, kUnknown},
        {{{100, "\x1b[200~HH"}, {1599, "Mq"}}, 0, 3099, kUnknown},
        {{{100, "\xc2"}, {1600, "H"}}, 0, 1600, {0xc2, 'H'}},
        // The ESC that ends a string is no Esc press, even when its \ never
        // comes.
        {{{3000, "\x1b]0;t\x1b"}}, 0, 3030, kUnknown},
    };
    // A sequence cut off by 1.5 s of silence is one unknown pair; its late
    // rest is an ordinary key.
    for (const char* cut : {"\x1b[", "\x1bO", "\x1b[1;5", "\x1b[[", "\x1b[M ", "\x1b\x1bO",
                            "\x1b]0;ti", "\x1bP1$", "\x1b[M\xc3", "\x1b(", "\233", "\x1b[200~"}) {
        cases.push_back({{{10, cut}, {1510, "A"}}, 0, 1510, {0, 0, 'A'}});
    }
    for (const Timed& c : cases) {
        EXPECT_EQ(decodeTimed(c), c.codes)
            << testing::PrintToString(c.arrivals.front().second) << " to " << c.endMs;
    }
    // What the caller waits for: 30 ms after the ESC that may still be a key.
    KeyDecoder d;
    feed(d, "\x1b", 100);
    EXPECT_EQ(decoderDeadlineMs(d), 130);
    feed(d, "\x1b", 110);
    feed(d, "\x1b", 125);
    EXPECT_EQ(decoderDeadlineMs(d), 140);
    feed(d, "[", 135);
    EXPECT_EQ(decoderDeadlineMs(d), 1635);
}

// Every byte but ESC and the C1 controls 0x80..0x9F is a key; in a UTF-8
// character those bytes are keys too (e with caron is C4 9B).
TEST(KeyDecoderRobustness, OrdinaryBytesPassThrough) {
    std::string all;
    Codes expected;
    for (int b = 0; b < 256; ++b) {
        if (b != 27 && (b < 0x80 || b > 0x9f)) {
            all += static_cast<char>(b);
            expected.push_back(b);
        }
    }
    EXPECT_EQ(decode(all), expected);
    EXPECT_EQ(decode("Hq\xe2\x82\xac"), (Codes{'H', 'q', 0xe2, 0x82, 0xac}));
    EXPECT_EQ(decode("\xc4\x9bH\xc2\xa7q"), (Codes{0xc4, 0x9b, 'H', 0xc2, 0xa7, 'q'}));
}

// A byte that cannot be part of a sequence cuts it off and counts itself; an
// ESC cut off so, or by an ESC that starts no Alt sequence, was an Esc press.
// A string ends at BEL or ST, a paste at its end marker (controls and ESC
// are part of it, and so is e with caron and "201~"), and what follows is
// keys again.
TEST(KeyDecoderRobustness, InterruptedSequences) {
    expectAll({
        {"\x1b", {27}},
        {"\x1b\x1b", {27, 27}},
        {"\x1b\x1b\x1b", {27, 27, 27}},
        {"\x1b\x1bx", {27, 0, 0}},
        {"\x1b\x1b\x1b[A", {27, 0, 152}},
        {"\x1b\r", {27, 13}},
        {"\x1b\x1b\x7f", {27, 27, 127}},
        {"\x1b\x1b\233A", {27, 0, 152}},
        {"\x1b\2350;t\x07", {27, 0, 0}},
        {"\x1b\xc4H", {0, 0, 'H'}},
        {"\xc2H", {0xc2, 'H'}},
        {"\x1b[1;5\xc2\233A", {0, 0, 224, 72}},
        {"\x1b]0;t\xc2\234H", {0, 0, 'H'}},
        {"\x1b[200~HHMq\x1b[201~q", {0, 0, 'q'}},
        {"\x1b[200~\x1b\x1b[A\r\x1b[2\x1b[201~q", {0, 0, 'q'}},
        {"\233200~q\233201~q", {0, 0, 'q'}},
        {"\x1b[200~\xc4\233201~q\xc2\233201~q", {0, 0, 'q'}},
        {"\x1bQq", {0, 0, 'q'}},
        {"\x1bP1$r0m\x9cH", {0, 0, 'H'}},
        {"\x1b[1;5\rA", {0, 0, 13, 'A'}},
        {"\x1b[\x1b[B", {0, 0, 224, 80}},
        {"\x1bO\233B", {0, 0, 224, 80}},
        {"\x1b[[\x1b", {0, 0, 27}},
        {"\x1b[M \x03", {0, 0, 3}},
        {"\x1b[6\x7fq", {0, 0, 127, 'q'}},
        {"\x1b]0;a\x18q", {0, 0, 0x18, 'q'}},
        {"\x1b]0;a\x1b[A", {0, 0, 224, 72}},
        {"\x1b_a\x1b\x1b[B", {0, 0, 224, 80}},
        {"\x1bPa\x1b\r", {0, 0, 13}},
    });
}

TEST(KeyDecoderRobustness, EndlessParametersAreSwallowedWhole) {
    std::string digits(100000, '9');
    EXPECT_EQ(decode("\x1b[" + digits + "A"), kUnknown);
    EXPECT_EQ(decode("\x1b[1" + std::string(5000, ';') + "5A"), kUnknown);
    EXPECT_EQ(decode("\x1bO" + digits + "P"), kUnknown);
    EXPECT_EQ(decode("\x1b[4294967302~"), kUnknown); // 6 modulo 2^32
    EXPECT_EQ(decode("\x1b[1;4294967301A"), kUnknown);
    // A string ends at kMaxStringBytes at the latest; what follows is keys again.
    const std::string full(kMaxStringBytes, 'q');
    EXPECT_EQ(decode("\x1b]" + full.substr(1) + "\x07q"), (Codes{0, 0, 'q'}));
    EXPECT_EQ(decode("\x1bP" + full + "Hq"), (Codes{0, 0, 'H', 'q'}));
    const std::string paste(kMaxPasteBytes - 1, 'q');
    EXPECT_EQ(decode("\x1b[200~" + paste + "Hq"), (Codes{0, 0, 'q'}));
}

// Nobody takes keys: the queue fills and each newest key that does not fit
// is dropped whole, so the queue never ends in half a key.
TEST(KeyDecoderRobustness, FullQueueDropsNewestKeysWhole) {
    KeyDecoder d;
    for (int i = 0; i < 1000; ++i) {
        feed(d, "x", i); // move the ring's start away from slot 0
    }
    decoderFeed(d, 'x', 0); // an odd count, so a pair cannot end exactly at the top
    for (int i = 0; i < 5000; ++i) {
        for (char c : std::string("\x1b[A")) {
            decoderFeed(d, static_cast<unsigned char>(c), 0);
        }
        ASSERT_LE(d.queueCount, kKeyQueueSize);
    }
    EXPECT_EQ(d.queueCount, kKeyQueueSize - 1);
    EXPECT_EQ(d.droppedCodes, (5000 - 31) * 2);
    decoderFeed(d, 'q', 0); // a one-code key still fits
    Codes codes = takeAll(d);
    ASSERT_EQ(codes.size(), 64u);
    EXPECT_EQ(codes.front(), 'x');
    for (size_t i = 1; i + 1 < codes.size(); i += 2) {
        EXPECT_EQ((Codes{codes[i], codes[i + 1]}), (Codes{224, 72}));
    }
    EXPECT_EQ(codes.back(), 'q');
    EXPECT_EQ(decoderTakeKey(d), -1);
    EXPECT_EQ(feed(d, "\x1b[D"), (Codes{224, 75})); // taking keys made room again
}
