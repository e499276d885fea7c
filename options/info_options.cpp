#include "options/info_options.h"

#include <cstdio>
#include <cstring>

int answerInfoOption(int argc, char** argv, const char* name, const char* version, const char* help,
                     InfoOptionPlace place) {
    const int last = place == InfoOptionPlace::OnlyArgument && argc != 2 ? 0 : argc - 1;
    for (int i = 1; i <= last; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
        } else if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("%s %s\n", name, version);
        } else {
            continue;
        }
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    return -1;
}
