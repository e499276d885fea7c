#include "testkit/pty_session.h"

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
#include <utmp.h>

std::int64_t nowNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
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
        std::vector<char*> args;
        for (const std::string& arg : argv) {
            args.push_back(const_cast<char*>(arg.c_str()));
        }
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(slave);
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

static bool readSome(PtySession& session, int timeoutMs) {
    pollfd master = {session.master, POLLIN, 0};
    if (poll(&master, 1, timeoutMs) <= 0) {
        return false;
    }
    char buffer[4096];
    const ssize_t count = read(session.master, buffer, sizeof buffer);
    if (count <= 0) {
        return false;
    }
    session.output.append(buffer, static_cast<std::size_t>(count));
    return true;
}

bool waitForOutput(PtySession& session, const std::string& text, int timeoutMs, std::size_t from) {
    const std::int64_t deadline = nowNs() + static_cast<std::int64_t>(timeoutMs) * 1000000;
    while (session.output.find(text, from) == std::string::npos) {
        const std::int64_t left = (deadline - nowNs()) / 1000000;
        if (left <= 0) {
            return false;
        }
        if (!readSome(session, static_cast<int>(left)) && nowNs() >= deadline) {
            return false;
        }
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

bool onlyThePrompt(const PtySession& session, const std::string& prompt) {
    return session.output == "\x1b[H\x1b[2J" + prompt;
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

termios currentTermios(const PtySession& session) {
    termios now{};
    tcgetattr(session.master, &now);
    return now;
}

bool sameTermios(const termios& a, const termios& b) {
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
           a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0 &&
           cfgetispeed(&a) == cfgetispeed(&b) && cfgetospeed(&a) == cfgetospeed(&b);
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
