// One run of rcdrive-sim with its trace in a temp file, cleaned up when the
// test is done with it: in a pseudo-terminal, or with no terminal at all,
// standard input and output being whatever the test hands it. The file that
// includes this defines RCDRIVE_SIM_PATH, the program.
#pragma once

#include "testkit/pty_session.h"
#include "testkit/sim_trace.h"

#include <string>
#include <unistd.h>
#include <vector>

struct SimRun {
    std::string trace = tempPath("trace");
    PtySession session;

    // The wrapper's words come first: {"setsid", "-w"} runs the program
    // under setsid, {"sh", "-c", SCRIPT} runs SCRIPT with the program as $0.
    explicit SimRun(std::vector<std::string> options = {}, std::vector<std::string> wrapper = {}) {
        session = startInPty(argv(options, wrapper));
    }
    // With no terminal: inFd and outFd become its standard input and output
    // (-1: closed); the test keeps its own copies.
    SimRun(int inFd, int outFd, std::vector<std::string> options = {}) {
        session = startWithStreams(argv(options, {}), inFd, outFd);
    }
    ~SimRun() {
        endSession(session);
        unlink(trace.c_str());
    }
    SimRun(const SimRun&) = delete;
    SimRun& operator=(const SimRun&) = delete;

    std::vector<std::string> argv(const std::vector<std::string>& options,
                                  std::vector<std::string> wrapper) const {
        wrapper.insert(wrapper.end(), {RCDRIVE_SIM_PATH, "--trace", trace});
        wrapper.insert(wrapper.end(), options.begin(), options.end());
        return wrapper;
    }
    std::vector<TraceRecord> entries() const { return readTraceFile(trace); }
    std::vector<unsigned> bytes() const { return acceptedBytes(entries()); }
};
