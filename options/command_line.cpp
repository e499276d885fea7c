#include "options/command_line.h"

#include <charconv>
#include <cstdio>
#include <cstring>

bool parseWholeNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t& value) {
    if (text == nullptr || (text[0] == '-' && min >= 0)) {
        return false;
    }
    // from_chars takes digits and a leading minus, and nothing else: no
    // spaces, no plus sign, no base prefix.
    const char* end = text + std::strlen(text);
    std::int64_t parsed = 0;
    const std::from_chars_result read = std::from_chars(text, end, parsed, 10);
    if (read.ec != std::errc() || read.ptr != end || parsed < min || parsed > max) {
        return false;
    }
    value = parsed;
    return true;
}

std::string wholeNumberRange(std::int64_t min, std::int64_t max) {
    return "a whole number from " + std::to_string(min) + " to " + std::to_string(max);
}

std::string unknownArgument(const std::string& arg) {
    if (arg.empty()) {
        return "\"\": unexpected empty argument";
    }
    return arg + (arg[0] == '-' ? ": unknown option" : ": unexpected argument");
}

bool valueMissing(const char* value) {
    return value == nullptr || value[0] == '\0' || value[0] == '-';
}

std::string missingValue(const std::string& option, const std::string& what) {
    return option + ": needs " + what;
}

std::string numberRefused(const std::string& given, std::int64_t min, std::int64_t max) {
    return given + ": must be " + wholeNumberRange(min, max);
}

int refuseCommandLine(const char* name, const std::string& problem, const char* usage) {
    std::fprintf(stderr, "%s: %s\n%s\n", name, problem.c_str(), usage);
    return kUsageStatus;
}
