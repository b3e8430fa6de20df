#ifndef STDOUTTOFILE_H
#define STDOUTTOFILE_H

#include <QByteArray>
#include <QFile>
#include <QTemporaryFile>

#include <cstdio>
#include <unistd.h>

// Sends the process's standard output (the debug console's trace) into a file for the life of
// the object, so that the tests see what was written and the test log is not flooded.
class StdoutToFile
{
public:
    StdoutToFile()
    {
        file.open();
        std::fflush(stdout);
        saved = ::dup(STDOUT_FILENO);
        ::dup2(file.handle(), STDOUT_FILENO);
    }
    ~StdoutToFile()
    {
        std::fflush(stdout);
        ::dup2(saved, STDOUT_FILENO);
        ::close(saved);
    }
    StdoutToFile(const StdoutToFile&) = delete;
    StdoutToFile& operator=(const StdoutToFile&) = delete;

    // What was written so far. Read through a file of its own: the one standard output writes
    // through must keep its place.
    QByteArray contents()
    {
        std::fflush(stdout);
        QFile f(file.fileName());
        f.open(QIODevice::ReadOnly);
        return f.readAll();
    }

private:
    QTemporaryFile file;
    int saved = -1;
};

#endif // STDOUTTOFILE_H
