#include "trace/trace_format.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

namespace {

// 18 digits cannot overflow an int64; the simulator's times have about 15.
constexpr std::size_t kMaxTimeDigits = 18;
constexpr std::size_t kMaxNumberDigits = 10;

struct KindName {
    TraceKind kind;
    const char* name;
    int values; // how many numbers follow the name (or the description)
};

constexpr KindName kKinds[] = {
    {TraceKind::Open, "open", 1},   {TraceKind::Baud, "baud", 1},   {TraceKind::Data, "data", 3},
    {TraceKind::Write, "write", 1}, {TraceKind::Close, "close", 0},
};

const KindName* kindNamed(const char* name, std::size_t length) {
    for (const KindName& entry : kKinds) {
        if (std::strlen(entry.name) == length && std::memcmp(entry.name, name, length) == 0) {
            return &entry;
        }
    }
    return nullptr;
}

const KindName& kindOf(TraceKind kind) {
    for (const KindName& entry : kKinds) {
        if (entry.kind == kind) {
            return entry;
        }
    }
    return kKinds[0];
}

int digitValue(char c, int base) {
    int value = 16;
    if (c >= '0' && c <= '9') {
        value = c - '0';
    } else if (c >= 'A' && c <= 'F') {
        value = c - 'A' + 10;
    } else if (c >= 'a' && c <= 'f') {
        value = c - 'a' + 10;
    }
    return value < base ? value : -1;
}

// Reads an unsigned number at `at`, up to the next space or the end.
bool takeNumber(const char* line, std::size_t length, std::size_t& at, int base,
                std::size_t maxDigits, std::uint64_t& value) {
    const std::size_t start = at;
    value = 0;
    for (; at < length && line[at] != ' '; ++at) {
        const int digit = digitValue(line[at], base);
        if (digit < 0 || at - start >= maxDigits) {
            return false;
        }
        value = value * static_cast<std::uint64_t>(base) + static_cast<std::uint64_t>(digit);
    }
    return at > start;
}

bool takeSpace(const char* line, std::size_t length, std::size_t& at) {
    if (at >= length || line[at] != ' ') {
        return false;
    }
    ++at;
    return true;
}

// Forgets the line read so far, once it is taken or passed over.
void restartTraceText(TraceReader& reader) {
    reader.partial.clear();
    reader.overlong = false;
}

void takeCompleteLine(TraceReader& reader, std::vector<TraceRecord>& out) {
    TraceRecord record;
    if (parseTraceLine(reader.partial.data(), reader.partial.size(), &record)) {
        out.push_back(record);
    } else if (!reader.partial.empty()) {
        ++reader.malformed;
    }
}

} // namespace

std::string formatTraceLine(const TraceRecord& record) {
    char text[kMaxTraceLine];
    const KindName& kind = kindOf(record.kind);
    int length = std::snprintf(text, sizeof text, "%" PRId64 " %s", record.t, kind.name);
    if (record.kind == TraceKind::Open) {
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                " \"%.64s\"", record.description.c_str());
    }
    for (int i = 0; i < kind.values; ++i) {
        length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                                record.kind == TraceKind::Write ? " %02" PRIX32 : " %" PRIu32,
                                record.values[i]);
    }
    length += std::snprintf(text + length, sizeof text - static_cast<std::size_t>(length),
                            " %" PRIu32 "\n", record.status);
    return std::string(text, static_cast<std::size_t>(length));
}

bool parseTraceLine(const char* line, std::size_t length, TraceRecord* record) {
    if (length > 0 && line[length - 1] == '\r') {
        --length;
    }
    std::size_t at = 0;
    std::uint64_t t = 0;
    if (!takeNumber(line, length, at, 10, kMaxTimeDigits, t) || !takeSpace(line, length, at)) {
        return false;
    }
    const std::size_t nameStart = at;
    while (at < length && line[at] != ' ') {
        ++at;
    }
    const KindName* kind = kindNamed(line + nameStart, at - nameStart);
    if (kind == nullptr) {
        return false;
    }
    TraceRecord parsed;
    parsed.t = static_cast<std::int64_t>(t);
    parsed.kind = kind->kind;
    if (kind->kind == TraceKind::Open) {
        // The description runs from the quote after the name to the last one.
        if (!takeSpace(line, length, at) || at >= length || line[at] != '"') {
            return false;
        }
        std::size_t end = length; // just after the last quote
        while (end > at + 1 && line[end - 1] != '"') {
            --end;
        }
        if (end <= at + 1) {
            return false;
        }
        parsed.description.assign(line + at + 1, end - at - 2);
        at = end;
    }
    for (int i = 0; i < kind->values; ++i) {
        std::uint64_t value = 0;
        const bool hex = kind->kind == TraceKind::Write;
        const std::size_t start = at + 1;
        if (!takeSpace(line, length, at) ||
            !takeNumber(line, length, at, hex ? 16 : 10, hex ? 2 : kMaxNumberDigits, value) ||
            (hex && at - start != 2) || value > UINT32_MAX) {
            return false;
        }
        parsed.values[i] = static_cast<std::uint32_t>(value);
    }
    std::uint64_t status = 0;
    if (!takeSpace(line, length, at) ||
        !takeNumber(line, length, at, 10, kMaxNumberDigits, status) || at != length ||
        status > UINT32_MAX) {
        return false;
    }
    parsed.status = static_cast<std::uint32_t>(status);
    *record = parsed;
    return true;
}

void readTraceText(TraceReader& reader, const char* text, std::size_t length,
                   std::vector<TraceRecord>& out) {
    while (length > 0) {
        const char* newline = static_cast<const char*>(std::memchr(text, '\n', length));
        const std::size_t piece =
            newline != nullptr ? static_cast<std::size_t>(newline - text) : length;
        if (!reader.overlong) {
            if (reader.partial.size() + piece > kMaxTraceLine) {
                reader.overlong = true;
                reader.partial.clear();
            } else {
                reader.partial.append(text, piece);
            }
        }
        if (newline == nullptr) {
            return;
        }
        if (reader.overlong) {
            ++reader.malformed;
        } else {
            takeCompleteLine(reader, out);
        }
        restartTraceText(reader);
        text += piece + 1;
        length -= piece + 1;
    }
}

void finishTraceText(TraceReader& reader, std::vector<TraceRecord>& out) {
    if (!reader.overlong) {
        takeCompleteLine(reader, out);
    }
    restartTraceText(reader);
}

std::vector<TraceRecord> readTraceFile(const std::string& path) {
    std::vector<TraceRecord> records;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return records;
    }
    TraceReader reader;
    char buffer[16384];
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;) {
        readTraceText(reader, buffer, n, records);
    }
    std::fclose(file);
    return records;
}

const char* traceKindName(TraceKind kind) {
    return kindOf(kind).name;
}

bool isAcceptedWrite(const TraceRecord& record) {
    return record.kind == TraceKind::Write && record.status == 0;
}
