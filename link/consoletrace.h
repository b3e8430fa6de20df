#ifndef CONSOLETRACE_H
#define CONSOLETRACE_H

#include <QString>

// The running trace on standard output that the debug console shows. Texts are written as
// given (callers end their lines with "\r\n"), converted to Latin-1, and flushed at once so
// that lines from the GUI and worker threads appear as they happen.
class ConsoleTrace
{
public:
    static void print(const QString& text);
};

#endif // CONSOLETRACE_H
