#include "process/command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>

bool parseWholeNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t& value) {
    if (text == nullptr || *text == '\0') {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    const long long parsed = std::strtoll(text, &end, 10);
    if (errno != 0 || *end != '\0' || parsed < min || parsed > max) {
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

std::string missingValue(const std::string& option, const std::string& what) {
    return option + ": needs " + what;
}

std::string numberOutOfRange(const std::string& option, const std::string& value, std::int64_t min,
                             std::int64_t max) {
    return option + " " + value + ": must be " + wholeNumberRange(min, max);
}

int refuseCommandLine(const char* name, const std::string& problem, const char* usage) {
    std::fprintf(stderr, "%s: %s\n%s\n", name, problem.c_str(), usage);
    return kUsageStatus;
}
