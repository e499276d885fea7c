// On Windows the trace is a file, written through the C library: a file
// takes every line at once. Others may read it while it is written, but not
// write it: the share mode keeps a second run out.
#include "trace/trace_file.h"

#include <cstdio>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

std::FILE* trace = nullptr;

} // namespace

bool openTraceFile(const std::string& path, std::string& error, bool& busy) {
    busy = false;
    // The share mode is checked before the file is emptied: a trace that
    // another run writes is left as it is.
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        busy = code == ERROR_SHARING_VIOLATION;
        error = busy ? "trace " + path + " is being written by another run: give each run its own"
                     : "cannot write trace " + path + ": Windows error " + std::to_string(code);
        return false;
    }
    // Binary, so that the lines end in a bare line feed as on Linux.
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    trace = fd >= 0 ? _fdopen(fd, "wb") : nullptr;
    if (trace == nullptr) {
        if (fd >= 0) {
            _close(fd);
        } else {
            CloseHandle(file);
        }
        error = "cannot write trace " + path;
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
