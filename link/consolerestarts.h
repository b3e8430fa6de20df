#ifndef CONSOLERESTARTS_H
#define CONSOLERESTARTS_H

#include <QMutex>
#include <QSet>
#include <QWaitCondition>

// Consoles updated side by side on one computer drop off the bus and come back under names the
// system gives them. A worker whose console restarts into its loader knows it again only as
// the one port that appeared after its reset, so no other console may appear meanwhile: a
// reset waits until no other console is restarting or resetting, and marks its own turn.
// Thread-safe; shared by the workers and the runs of one process.
class ConsoleRestarts
{
public:
    // Waits at most waitMs for its turn; false when it came by the time limit instead.
    bool beginReset(int waitMs);
    void endReset();
    // A console re-flashes or restarts and will come back under a new name. Marked once per
    // console however often it is said (by its worker as its image ends, by its run after).
    void beginRestart(const void* console);
    void endRestart(const void* console);

private:
    QMutex mutex;
    QWaitCondition changed;
    QSet<const void*> restarting;
    bool resetting = false;
};

// One reset's turn, held for a scope.
class ConsoleResetTurn
{
public:
    ConsoleResetTurn(ConsoleRestarts* restarts, int waitMs, bool* waitedOut = nullptr);
    ~ConsoleResetTurn();
    ConsoleResetTurn(const ConsoleResetTurn&) = delete;
    ConsoleResetTurn& operator=(const ConsoleResetTurn&) = delete;

private:
    ConsoleRestarts* restarts;
};

#endif // CONSOLERESTARTS_H
