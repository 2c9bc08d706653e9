#include "ProgramVersion.h"

#include <cstdio>
#include <cstring>

bool PravexVersionAsked(int argc, char** argv, const char* program) {
    if (argc < 2 || !argv || !argv[1] || std::strcmp(argv[1], "--version") != 0)
        return false;
    std::printf("%s %s\n", program, PravexVersion());
    std::fflush(stdout);
    return true;
}
