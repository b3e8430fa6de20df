#include "consolerestarts.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

bool ConsoleRestarts::beginReset(int waitMs)
{
    QMutexLocker lock(&mutex);
    const QDeadlineTimer deadline(waitMs);
    bool inTime = true;
    while (!restarting.isEmpty() || resetting) {
        if (!changed.wait(&mutex, deadline)) {
            inTime = false;
            break;
        }
    }
    // A turn taken by the time limit is still marked, so that others wait for it.
    resetting = true;
    return inTime;
}

void ConsoleRestarts::endReset()
{
    QMutexLocker lock(&mutex);
    resetting = false;
    changed.wakeAll();
}

void ConsoleRestarts::beginRestart(const void* console)
{
    QMutexLocker lock(&mutex);
    restarting.insert(console);
}

void ConsoleRestarts::endRestart(const void* console)
{
    QMutexLocker lock(&mutex);
    if (restarting.remove(console))
        changed.wakeAll();
}

ConsoleResetTurn::ConsoleResetTurn(ConsoleRestarts* restarts, int waitMs, bool* waitedOut)
    : restarts(restarts)
{
    const bool inTime = !restarts || restarts->beginReset(waitMs);
    if (waitedOut)
        *waitedOut = !inTime;
}

ConsoleResetTurn::~ConsoleResetTurn()
{
    if (restarts)
        restarts->endReset();
}
