// The options every tool answers the same way: --help (or -h) prints the
// help, --version the name and version, each on standard output with exit
// status 0 (1 if it could not be written).
#pragma once

// Where the options count: rcdrive takes them only as its one argument (it
// ignores any other); the other tools anywhere on the command line, before
// anything else on it is looked at, so that a help asked for is given
// however wrong the rest is.
enum class InfoOptionPlace { OnlyArgument, Anywhere };

// The exit status after answering the first of them found; -1 when none
// was asked for.
int answerInfoOption(int argc, char** argv, const char* name, const char* version, const char* help,
                     InfoOptionPlace place);
