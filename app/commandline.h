#ifndef COMMANDLINE_H
#define COMMANDLINE_H

// The answers every program of the updater gives to --help and --version. They are looked for
// in the raw arguments, before an application object exists, so that a program asked only for
// its help or version opens no window, needs no display and touches no device.
class CommandLine
{
public:
    enum Request { None, Help, Version };

    // The first of --help (or -h) and --version among the arguments, up to a "--".
    static Request request(int argc, char** argv);
    // Prints the help (usage) or the version line of `program` on standard output and returns
    // true, or returns false when neither was asked for.
    static bool answer(int argc, char** argv, const char* program, const char* usage);
    // The project's version, as the build system knows it.
    static const char* version();
};

#endif // COMMANDLINE_H
