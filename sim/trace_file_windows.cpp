// On Windows the trace is a file, written through the C library: a file
// takes every line at once.
#include "sim/trace_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

std::FILE* trace = nullptr;

} // namespace

bool openTraceFile(const std::string& path, std::string& error) {
    // Binary, so that the lines end in a bare line feed as on Linux.
    trace = std::fopen(path.c_str(), "wb");
    if (trace == nullptr) {
        error = "cannot write trace " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

void writeTraceLine(const char* line, std::size_t length) {
    if (trace != nullptr) {
        std::fwrite(line, 1, length, trace);
        std::fflush(trace);
    }
}

void closeTraceFile() {
    if (trace != nullptr) {
        std::fclose(trace);
        trace = nullptr;
    }
}
