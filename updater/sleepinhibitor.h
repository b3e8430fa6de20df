#ifndef SLEEPINHIBITOR_H
#define SLEEPINHIBITOR_H

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QObject>
#include <QString>

class QDBusPendingCallWatcher;

// Keeps the machine from suspending while an update runs, by holding a logind inhibitor lock
// ("sleep:idle", mode "block") taken over the system D-Bus. The lock lasts as long as the file
// descriptor logind hands back stays open. Where there is no system bus or no logind (a
// container, a desktop without systemd) it does nothing and says so in the trace: an update
// must never fail because of it.
//
// The request is asynchronous so the GUI thread never waits on the bus.
class SleepInhibitor : public QObject
{
    Q_OBJECT

public:
    enum State { Released, Requesting, Held, Unavailable };
    Q_ENUM(State)

    // Uses the system bus.
    explicit SleepInhibitor(QObject* parent = nullptr);
    // Uses the given bus instead (tests run their own bus with a stand-in for logind).
    explicit SleepInhibitor(const QDBusConnection& bus, QObject* parent = nullptr);
    ~SleepInhibitor() override;

    // Asks for the lock; `why` is what the desktop shows as the reason. Does nothing while a
    // request is pending or the lock is held.
    void acquire(const QString& why);
    // Gives the lock back (closes the descriptor); a pending request is dropped on arrival.
    void release();

    State state() const { return currentState; }
    bool isHeld() const { return currentState == Held; }
    // The last thing that happened, in the words written to the trace.
    QString lastMessage() const { return message; }
    // The descriptor held while the lock is held, otherwise -1 (for tests).
    int heldDescriptor() const;

signals:
    void stateChanged(SleepInhibitor::State state);

private slots:
    void onInhibitReply(QDBusPendingCallWatcher* watcher);

private:
    void setState(State next, const QString& text);

    QDBusConnection bus;
    State currentState = Released;
    QString message;
    QDBusUnixFileDescriptor lock;
    QDBusPendingCallWatcher* pending = nullptr;
};

#endif // SLEEPINHIBITOR_H
