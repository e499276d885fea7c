// The options every tool answers the same way: --help (or -h) prints the
// help, --version the name and version, each on standard output with exit
// status 0 (1 if it could not be written).
#pragma once

// The exit status when the only argument is one of them, after answering
// it; -1 otherwise.
int answerInfoOption(int argc, char** argv, const char* name, const char* version,
                     const char* help);
