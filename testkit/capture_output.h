// Runs a function with standard output sent into a pipe, and returns what it
// wrote there.
#pragma once

#include <functional>
#include <string>
#include <unistd.h>

inline std::string captureOutput(const std::function<void()>& action) {
    int pipeFds[2];
    if (pipe(pipeFds) != 0) {
        return "<pipe failed>";
    }
    const int savedStdout = dup(STDOUT_FILENO);
    dup2(pipeFds[1], STDOUT_FILENO);
    close(pipeFds[1]);
    action();
    dup2(savedStdout, STDOUT_FILENO);
    close(savedStdout);
    std::string text;
    char buffer[256];
    ssize_t count;
    while ((count = read(pipeFds[0], buffer, sizeof buffer)) > 0) {
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(pipeFds[0]);
    return text;
}
