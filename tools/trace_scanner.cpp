#include "tools/trace_scanner.h"

#include <cstring>

namespace {

// 18 digits cannot overflow an int64; the simulator's times have about 15.
constexpr std::size_t kMaxTimeDigits = 18;
constexpr std::size_t kMaxStatusDigits = 10;

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

int hexValue(char c) {
    if (isDigit(c)) {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

void takeLine(const std::string& line, std::vector<TimedByte>& out) {
    TimedByte byte{};
    if (parseTraceWrite(line.data(), line.size(), &byte)) {
        out.push_back(byte);
    }
}

} // namespace

bool parseTraceWrite(const char* line, std::size_t length, TimedByte* out) {
    if (length > 0 && line[length - 1] == '\r') {
        --length;
    }
    std::size_t at = 0;
    std::int64_t t = 0;
    while (at < length && isDigit(line[at]) && at < kMaxTimeDigits) {
        t = t * 10 + (line[at] - '0');
        ++at;
    }
    static const char kWrite[] = " write ";
    const std::size_t writeLength = sizeof kWrite - 1;
    if (at == 0 || length - at < writeLength + 4 ||
        std::memcmp(line + at, kWrite, writeLength) != 0) {
        return false;
    }
    at += writeLength;
    const int high = hexValue(line[at]);
    const int low = hexValue(line[at + 1]);
    if (high < 0 || low < 0 || line[at + 2] != ' ') {
        return false;
    }
    at += 3;
    // The status: the driver's 0 (FT_OK) in however many digits.
    const std::size_t statusDigits = length - at;
    if (statusDigits == 0 || statusDigits > kMaxStatusDigits) {
        return false;
    }
    for (; at < length; ++at) {
        if (line[at] != '0') {
            return false;
        }
    }
    out->t = t;
    out->byte = static_cast<std::uint8_t>(high * 16 + low);
    return true;
}

void scanTrace(TraceScanner& scanner, const char* text, std::size_t length,
               std::vector<TimedByte>& out) {
    while (length > 0) {
        const char* newline = static_cast<const char*>(std::memchr(text, '\n', length));
        const std::size_t piece =
            newline != nullptr ? static_cast<std::size_t>(newline - text) : length;
        if (!scanner.overlong) {
            if (scanner.partial.size() + piece > kMaxTraceLine) {
                scanner.overlong = true;
                scanner.partial.clear();
            } else {
                scanner.partial.append(text, piece);
            }
        }
        if (newline == nullptr) {
            return;
        }
        if (!scanner.overlong) {
            takeLine(scanner.partial, out);
        }
        restartTrace(scanner);
        text += piece + 1;
        length -= piece + 1;
    }
}

void finishTrace(TraceScanner& scanner, std::vector<TimedByte>& out) {
    if (!scanner.overlong) {
        takeLine(scanner.partial, out);
    }
    restartTrace(scanner);
}

void restartTrace(TraceScanner& scanner) {
    scanner.partial.clear();
    scanner.overlong = false;
}
