// One run of rcdrive-sim with its trace in a temp file, cleaned up when the
// test is done with it: in a pseudo-terminal (SimRun), or with no terminal
// at all, standard input and output being whatever the test hands it
// (DetachedSimRun). The file that includes this defines RCDRIVE_SIM_PATH,
// the program.
#pragma once

#include "testkit/pty_session.h"
#include "testkit/sim_trace.h"

#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

struct SimRun {
    std::string trace = tempPath("trace");
    PtySession session;

    // The wrapper's words come first: {"setsid", "-w"} runs the program
    // under setsid, {"sh", "-c", SCRIPT} runs SCRIPT with the program as $0.
    explicit SimRun(std::vector<std::string> options = {}, std::vector<std::string> wrapper = {}) {
        std::vector<std::string> argv = wrapper;
        argv.insert(argv.end(), {RCDRIVE_SIM_PATH, "--trace", trace});
        argv.insert(argv.end(), options.begin(), options.end());
        session = startInPty(argv);
    }
    ~SimRun() {
        endSession(session);
        unlink(trace.c_str());
    }
    SimRun(const SimRun&) = delete;
    SimRun& operator=(const SimRun&) = delete;

    std::vector<TraceRecord> entries() const { return readTraceFile(trace); }
    std::vector<unsigned> bytes() const { return acceptedBytes(entries()); }
};

struct DetachedSimRun {
    std::string trace = tempPath("trace");
    pid_t pid = -1;
    int status = -1; // raw wait status once it ended

    // The files at these paths ("" for none: the stream is closed) become
    // the program's standard input and output.
    DetachedSimRun(const std::string& inPath, const std::string& outPath,
                   std::vector<std::string> options = {})
        : DetachedSimRun(openOrNone(inPath, O_RDONLY), openOrNone(outPath, O_WRONLY), options,
                         true) {}

    // inFd and outFd become the program's standard input and output (and
    // are closed in it otherwise); -1 leaves that one closed. With
    // closeAfter, the test's own copies are closed once the program has them.
    DetachedSimRun(int inFd, int outFd, std::vector<std::string> options = {},
                   bool closeAfter = false) {
        std::vector<std::string> argv = {RCDRIVE_SIM_PATH, "--trace", trace};
        argv.insert(argv.end(), options.begin(), options.end());
        pid = fork();
        if (pid == 0) {
            for (auto [from, to] :
                 {std::pair<int, int>{inFd, STDIN_FILENO}, {outFd, STDOUT_FILENO}}) {
                if (from < 0) {
                    close(to);
                } else if (from != to) {
                    dup2(from, to);
                }
            }
            std::vector<char*> args;
            for (std::string& arg : argv) {
                args.push_back(arg.data());
            }
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        for (int fd : {inFd, outFd}) {
            if (closeAfter && fd >= 0) {
                close(fd);
            }
        }
    }
    ~DetachedSimRun() {
        if (pid > 0 && status == -1) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        unlink(trace.c_str());
    }
    DetachedSimRun(const DetachedSimRun&) = delete;
    DetachedSimRun& operator=(const DetachedSimRun&) = delete;

    // Waits for the program to end; false on timeout.
    bool waitForExit(int timeoutMs) {
        for (int waited = 0; waited <= timeoutMs; waited += 5) {
            if (waitpid(pid, &status, WNOHANG) == pid) {
                return true;
            }
            usleep(5000);
        }
        status = -1;
        return false;
    }
    int exitCode() const { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

    static int openOrNone(const std::string& path, int flags) {
        return path.empty() ? -1 : open(path.c_str(), flags | O_CLOEXEC);
    }

    std::vector<TraceRecord> entries() const { return readTraceFile(trace); }
    std::vector<unsigned> bytes() const { return acceptedBytes(entries()); }
};
