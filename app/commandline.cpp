#include "commandline.h"

#include <cstdio>
#include <cstring>

CommandLine::Request CommandLine::request(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (std::strcmp(arg, "--") == 0)
            break;
        if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0)
            return Help;
        if (std::strcmp(arg, "--version") == 0)
            return Version;
    }
    return None;
}

bool CommandLine::answer(int argc, char** argv, const char* program, const char* usage)
{
    switch (request(argc, argv)) {
    case Help:
        std::fputs(usage, stdout);
        break;
    case Version:
        std::printf("%s %s\n", program, version());
        break;
    case None:
        return false;
    }
    std::fflush(stdout);
    return true;
}

const char* CommandLine::version()
{
    return UPDATER_VERSION;
}
