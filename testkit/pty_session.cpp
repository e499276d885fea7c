#include "testkit/pty_session.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <utmp.h>

std::int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Runs the program with nothing open but its standard streams, whatever the
// test process holds, as a fresh terminal session would.
[[noreturn]] static void execArgv(const std::vector<std::string>& argv) {
    close_range(3, ~0U, 0);
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
}

PtySession startInPty(const std::vector<std::string>& argv) {
    PtySession session;
    int slave = -1;
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 80;
    if (openpty(&session.master, &slave, nullptr, nullptr, &size) != 0) {
        return session;
    }
    tcgetattr(slave, &session.initialTermios);
    session.pid = fork();
    if (session.pid == 0) {
        close(session.master);
        login_tty(slave);
        execArgv(argv);
    }
    close(slave);
    return session;
}

PtySession startWithStreams(const std::vector<std::string>& argv, int inFd, int outFd) {
    PtySession session;
    session.pid = fork();
    if (session.pid == 0) {
        for (auto [from, to] : {std::pair<int, int>{inFd, STDIN_FILENO}, {outFd, STDOUT_FILENO}}) {
            if (from < 0) {
                close(to);
            } else if (from != to) {
                dup2(from, to);
            }
        }
        execArgv(argv);
    }
    return session;
}

void typeKeys(PtySession& session, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t count = write(session.master, bytes.data() + done, bytes.size() - done);
        if (count <= 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            return;
        }
        done += static_cast<std::size_t>(count);
    }
}

static void readSome(PtySession& session, int timeoutMs) {
    pollfd master = {session.master, POLLIN, 0};
    char buffer[4096];
    const ssize_t count =
        poll(&master, 1, timeoutMs) > 0 ? read(session.master, buffer, sizeof buffer) : 0;
    session.output.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(count, 0)));
}

bool waitForOutput(PtySession& session, const std::string& text, int timeoutMs, std::size_t from) {
    const std::int64_t deadline = nowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    while (session.output.find(text, from) == std::string::npos) {
        const std::int64_t leftMs = (deadline - nowNs()) / 1000000;
        if (leftMs <= 0) {
            return false;
        }
        readSome(session, static_cast<int>(leftMs));
    }
    return true;
}

void readFor(PtySession& session, int ms) {
    const std::int64_t deadline = nowNs() + static_cast<std::int64_t>(ms) * 1000000;
    for (std::int64_t left = ms; left > 0; left = (deadline - nowNs()) / 1000000) {
        readSome(session, static_cast<int>(left));
    }
}

std::string screen(const PtySession& session) {
    const std::string clear = "\x1b[H\x1b[2J";
    const std::size_t at = session.output.rfind(clear);
    return at == std::string::npos ? session.output : session.output.substr(at + clear.size());
}

bool waitForExit(PtySession& session, int timeoutMs) {
    const std::int64_t deadline = nowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    for (;;) {
        int status = 0;
        const pid_t done = waitpid(session.pid, &status, WNOHANG);
        if (done == session.pid) {
            session.exitStatus = status;
            readFor(session, 20);
            return true;
        }
        if (nowNs() >= deadline) {
            kill(session.pid, SIGKILL);
            waitpid(session.pid, &status, 0);
            session.exitStatus = -1;
            return false;
        }
        readSome(session, 5);
    }
}

int exitCode(const PtySession& session) {
    return WIFEXITED(session.exitStatus) ? WEXITSTATUS(session.exitStatus) : -1;
}

bool openLinePty(int& master, int& slave) {
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return false;
    }
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    termios raw{};
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    return true;
}

bool terminalAsAtStart(const PtySession& session) {
    termios now{};
    tcgetattr(session.master, &now);
    const termios& was = session.initialTermios;
    return now.c_iflag == was.c_iflag && now.c_oflag == was.c_oflag && now.c_cflag == was.c_cflag &&
           now.c_lflag == was.c_lflag && std::memcmp(now.c_cc, was.c_cc, sizeof now.c_cc) == 0 &&
           cfgetispeed(&now) == cfgetispeed(&was) && cfgetospeed(&now) == cfgetospeed(&was);
}

void endSession(PtySession& session) {
    if (session.pid > 0 && session.exitStatus == -1) {
        kill(session.pid, SIGKILL);
        int status = 0;
        waitpid(session.pid, &status, 0);
    }
    if (session.master >= 0) {
        close(session.master);
        session.master = -1;
    }
}

std::string tempPath(const std::string& stem) {
    static int counter = 0;
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir ? dir : "/tmp") + "/rcdrive-" + stem + "-" + std::to_string(getpid()) +
           "-" + std::to_string(++counter);
}
