// One run of rcdrive-sim in a pseudo-terminal with its trace in a temp file,
// cleaned up when the test is done with it. The test file defines
// RCDRIVE_SIM_PATH, the program to run.
#pragma once

#include "tests/e2e/pty_session.h"

#include <string>
#include <unistd.h>
#include <vector>

struct SimRun {
    std::string trace = tempPath("trace");
    PtySession session;

    explicit SimRun(std::vector<std::string> options = {}) {
        std::vector<std::string> argv = {RCDRIVE_SIM_PATH, "--trace", trace};
        argv.insert(argv.end(), options.begin(), options.end());
        session = startInPty(argv);
    }
    ~SimRun() {
        endSession(session);
        unlink(trace.c_str());
    }
    SimRun(const SimRun&) = delete;
    SimRun& operator=(const SimRun&) = delete;

    std::vector<TraceEntry> entries() const { return readTrace(trace); }
    std::vector<unsigned> bytes() const { return acceptedBytes(entries()); }
};
