// Wrong command lines, told the same way by every tool: one line that names
// what was wrong, then the usage line, both on standard error, and exit
// status 2. The problem texts are built here too, so that each kind of
// mistake reads alike in every tool.
#pragma once

#include <cstdint>
#include <string>

constexpr int kUsageStatus = 2;

// Reads a whole decimal number within [min, max]: digits alone, with a
// leading minus only where min is negative. False on anything else (empty,
// a plus sign, spaces, other characters, out of range), leaving value as it
// was.
bool parseWholeNumber(const char* text, std::int64_t min, std::int64_t max, std::int64_t& value);

// "a whole number from MIN to MAX"
std::string wholeNumberRange(std::int64_t min, std::int64_t max);

// "ARG: unknown option" for what looks like an option, "ARG: unexpected
// argument" for anything else.
std::string unknownArgument(const std::string& arg);

// Whether an option's value is missing: none given, an empty one, or
// another option in its place (--trace --unpaced).
bool valueMissing(const char* value);

// "OPTION: needs WHAT", for an option given without its value.
std::string missingValue(const std::string& option, const std::string& what);

// "GIVEN: must be a whole number from MIN to MAX", where GIVEN is how the
// number was given: "--fifo 12x", "RCDRIVE_SIM_FIFO=lots".
std::string numberRefused(const std::string& given, std::int64_t min, std::int64_t max);

// Prints "NAME: PROBLEM" and the usage line on standard error; returns
// kUsageStatus, the exit status for it.
int refuseCommandLine(const char* name, const std::string& problem, const char* usage);
