#include "process/info_options.h"

#include <cstdio>
#include <cstring>

int answerInfoOption(int argc, char** argv, const char* name, const char* version,
                     const char* help) {
    if (argc != 2) {
        return -1;
    }
    if (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0) {
        std::fputs(help, stdout);
    } else if (std::strcmp(argv[1], "--version") == 0) {
        std::printf("%s %s\n", name, version);
    } else {
        return -1;
    }
    return std::fflush(stdout) == 0 ? 0 : 1;
}
