#include "sleepinhibitor.h"

#include "consoletrace.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDebug>

namespace
{
const char* const LogindService = "org.freedesktop.login1";
const char* const LogindPath = "/org/freedesktop/login1";
const char* const LogindManager = "org.freedesktop.login1.Manager";
// Sleep and idle both end a flash half way; "block" rather than "delay" keeps them off until
// the lock is given back.
const char* const InhibitWhat = "sleep:idle";
const char* const InhibitWho = "Brenvik Updater";
const char* const InhibitMode = "block";
// logind answers within milliseconds; a bus that does not answer in this time is treated as
// absent.
const int InhibitTimeoutMs = 5000;
} // namespace

SleepInhibitor::SleepInhibitor(QObject* parent)
    : SleepInhibitor(QDBusConnection::systemBus(), parent)
{
}

SleepInhibitor::SleepInhibitor(const QDBusConnection& connection, QObject* parent)
    : QObject(parent), bus(connection)
{
    qRegisterMetaType<SleepInhibitor::State>();
}

SleepInhibitor::~SleepInhibitor()
{
    // Deleting the watcher drops the reply; the descriptor closes with `lock`.
    delete pending;
}

int SleepInhibitor::heldDescriptor() const
{
    return currentState == Held && lock.isValid() ? lock.fileDescriptor() : -1;
}

void SleepInhibitor::acquire(const QString& why)
{
    if (currentState == Requesting || currentState == Held)
        return;

    if (!bus.isConnected()) {
        const QString reason = bus.lastError().message();
        setState(Unavailable,
                 reason.isEmpty()
                     ? QStringLiteral("Sleep inhibitor: no system bus, suspend not blocked")
                     : QStringLiteral("Sleep inhibitor: no system bus (%1), suspend not blocked")
                           .arg(reason));
        return;
    }

    QDBusMessage call =
        QDBusMessage::createMethodCall(QLatin1String(LogindService), QLatin1String(LogindPath),
                                       QLatin1String(LogindManager), QStringLiteral("Inhibit"));
    call << QLatin1String(InhibitWhat) << QLatin1String(InhibitWho) << why
         << QLatin1String(InhibitMode);
    pending = new QDBusPendingCallWatcher(bus.asyncCall(call, InhibitTimeoutMs), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, &SleepInhibitor::onInhibitReply);
    setState(Requesting, QStringLiteral("Sleep inhibitor: asking logind"));
}

void SleepInhibitor::onInhibitReply(QDBusPendingCallWatcher* watcher)
{
    watcher->deleteLater();
    if (watcher != pending)
        return;
    pending = nullptr;

    QDBusPendingReply<QDBusUnixFileDescriptor> reply = *watcher;
    if (reply.isError()) {
        setState(Unavailable, QStringLiteral("Sleep inhibitor: logind refused or is absent (%1), "
                                             "suspend not blocked")
                                  .arg(reply.error().message()));
        return;
    }
    const QDBusUnixFileDescriptor fd = reply.value();
    if (!fd.isValid()) {
        setState(Unavailable,
                 QStringLiteral("Sleep inhibitor: logind gave no lock, suspend not blocked"));
        return;
    }
    lock = fd;
    setState(Held, QStringLiteral("Sleep inhibitor: suspend blocked while the update runs"));
}

void SleepInhibitor::release()
{
    if (pending) {
        // The reply, if it still comes, carries a descriptor that closes with the watcher.
        pending->deleteLater();
        pending = nullptr;
    }
    const bool wasHeld = currentState == Held;
    lock = QDBusUnixFileDescriptor();
    if (wasHeld)
        setState(Released, QStringLiteral("Sleep inhibitor: released"));
    else
        currentState = Released;
}

void SleepInhibitor::setState(State next, const QString& text)
{
    currentState = next;
    message = text;
    qDebug() << text;
    ConsoleTrace::print(text + QStringLiteral("\r\n"));
    emit stateChanged(next);
}
