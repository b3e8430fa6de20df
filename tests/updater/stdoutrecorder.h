#ifndef STDOUTRECORDER_H
#define STDOUTRECORDER_H

#include "stdoutcapture.h"

#include <QByteArray>
#include <QList>
#include <QMutex>
#include <QtGlobal>

// Collects what the process writes to standard output while it lives (the bytes still reach
// wherever standard output went before).
class StdoutRecorder
{
public:
    StdoutRecorder()
        : capture([this](const QByteArray& bytes) {
              QMutexLocker lock(&mutex);
              recorded += bytes;
          })
    {
        QString error;
        started = capture.start(&error);
        if (!started)
            qWarning("standard output not captured: %s", qPrintable(error));
    }

    // Everything so far, up to the last byte written before this call.
    QByteArray take()
    {
        capture.stop();
        QMutexLocker lock(&mutex);
        return recorded;
    }
    // Only the lines that start with one of the given words.
    QByteArray lines(const QList<QByteArray>& prefixes)
    {
        QByteArray kept;
        for (const QByteArray& line : take().split('\n'))
            for (const QByteArray& prefix : prefixes)
                if (line.startsWith(prefix))
                    kept += line + '\n';
        return kept;
    }
    // Everything but the lines QtTest itself prints for debug messages and warnings.
    QByteArray takeWithoutTestLog()
    {
        QByteArray out;
        for (const QByteArray& line : take().split('\n')) {
            if (!line.startsWith("QDEBUG") && !line.startsWith("QWARN"))
                out += line + '\n';
        }
        out.chop(1);
        return out;
    }

    bool started = false;

private:
    QMutex mutex;
    QByteArray recorded;
    StdoutCapture capture;
};

#endif // STDOUTRECORDER_H
