// SleepInhibitor against a private bus: a stand-in for logind hands out one end of a pipe, so
// the test can see the lock held (no end of file) and given back (end of file); without a
// bus, or without logind on it, the inhibitor must quietly do nothing.
#include "sleepinhibitor.h"

#include <QDBusConnection>
#include <QDBusUnixFileDescriptor>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

// Answers Inhibit like logind: the returned descriptor is the lock.
class FakeLogind : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.login1.Manager")

public:
    ~FakeLogind() override
    {
        if (readEnd >= 0)
            ::close(readEnd);
    }
    QStringList lastArgs;
    int readEnd = -1;
    int calls = 0;

    // True once every copy of the handed-out end is closed.
    bool lockReleased() const
    {
        pollfd p{readEnd, POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0)
            return false;
        char c;
        return ::read(readEnd, &c, 1) == 0;
    }

public slots:
    QDBusUnixFileDescriptor Inhibit(const QString& what, const QString& who, const QString& why,
                                    const QString& mode)
    {
        ++calls;
        lastArgs = QStringList{what, who, why, mode};
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0)
            return QDBusUnixFileDescriptor();
        if (readEnd >= 0)
            ::close(readEnd);
        readEnd = fds[0];
        QDBusUnixFileDescriptor handed(fds[1]); // takes a copy
        ::close(fds[1]);
        return handed;
    }
};

class TestSleepInhibitor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void withoutSystemBusDoesNothing();
    void noBusDoesNothing();
    void noLogindOnBusDoesNothing();
    void holdsAndReleasesLock();
    void releaseBeforeReplyLeavesNothingHeld();

private:
    QTemporaryDir dir;
    QProcess daemon;
    QString address;
};

void TestSleepInhibitor::initTestCase()
{
    const QString exe = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (exe.isEmpty())
        return; // the bus cases skip themselves
    address = QStringLiteral("unix:path=%1/bus").arg(dir.path());
    daemon.setProgram(exe);
    daemon.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"),
                         QStringLiteral("--nopidfile"), QStringLiteral("--address=") + address,
                         QStringLiteral("--print-address")});
    daemon.start();
    QVERIFY(daemon.waitForStarted(10000));
    QTRY_VERIFY_WITH_TIMEOUT(daemon.canReadLine() || !daemon.readAllStandardError().isEmpty(),
                             10000);
}

void TestSleepInhibitor::cleanupTestCase()
{
    if (daemon.state() != QProcess::NotRunning) {
        daemon.terminate();
        daemon.waitForFinished(5000);
    }
}

void TestSleepInhibitor::withoutSystemBusDoesNothing()
{
    // The default constructor uses the system bus, here one that is not there.
    qputenv("DBUS_SYSTEM_BUS_ADDRESS",
            QStringLiteral("unix:path=%1/no-system-bus").arg(dir.path()).toLocal8Bit());
    SleepInhibitor inhibitor;
    inhibitor.acquire(QStringLiteral("Firmware update"));
    QCOMPARE(inhibitor.state(), SleepInhibitor::Unavailable);
    QCOMPARE(inhibitor.heldDescriptor(), -1);
}

void TestSleepInhibitor::noBusDoesNothing()
{
    QDBusConnection nowhere = QDBusConnection::connectToBus(
        QStringLiteral("unix:path=%1/no-such-bus").arg(dir.path()), QStringLiteral("nowhere"));
    QVERIFY(!nowhere.isConnected());

    SleepInhibitor inhibitor(nowhere);
    QSignalSpy changes(&inhibitor, &SleepInhibitor::stateChanged);
    inhibitor.acquire(QStringLiteral("Firmware update"));
    QCOMPARE(inhibitor.state(), SleepInhibitor::Unavailable);
    QVERIFY(!inhibitor.isHeld());
    QCOMPARE(inhibitor.heldDescriptor(), -1);
    QVERIFY2(inhibitor.lastMessage().contains(QStringLiteral("no system bus")),
             qPrintable(inhibitor.lastMessage()));
    QCOMPARE(changes.count(), 1);
    // Releasing what was never held is harmless and asking again still works.
    inhibitor.release();
    QCOMPARE(inhibitor.state(), SleepInhibitor::Released);
    inhibitor.acquire(QStringLiteral("Firmware update"));
    QCOMPARE(inhibitor.state(), SleepInhibitor::Unavailable);
    QDBusConnection::disconnectFromBus(QStringLiteral("nowhere"));
}

void TestSleepInhibitor::noLogindOnBusDoesNothing()
{
    if (address.isEmpty())
        QSKIP("dbus-daemon is not installed");
    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client1"));
    QVERIFY(client.isConnected());
    SleepInhibitor inhibitor(client);
    inhibitor.acquire(QStringLiteral("Firmware update"));
    QCOMPARE(inhibitor.state(), SleepInhibitor::Requesting);
    QTRY_COMPARE_WITH_TIMEOUT(inhibitor.state(), SleepInhibitor::Unavailable, 15000);
    QVERIFY(inhibitor.lastMessage().contains(QStringLiteral("suspend not blocked")));
    QDBusConnection::disconnectFromBus(QStringLiteral("client1"));
}

void TestSleepInhibitor::holdsAndReleasesLock()
{
    if (address.isEmpty())
        QSKIP("dbus-daemon is not installed");
    QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("logind"));
    QVERIFY(service.isConnected());
    FakeLogind logind;
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.freedesktop.login1")));

    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client2"));
    {
        SleepInhibitor inhibitor(client);
        QSignalSpy changes(&inhibitor, &SleepInhibitor::stateChanged);
        inhibitor.acquire(QStringLiteral("Firmware update"));
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.state(), SleepInhibitor::Held, 15000);
        QCOMPARE(logind.lastArgs,
                 (QStringList{QStringLiteral("sleep:idle"), QStringLiteral("Brenvik Updater"),
                              QStringLiteral("Firmware update"), QStringLiteral("block")}));
        QVERIFY(inhibitor.heldDescriptor() >= 0);

        // A second request while held asks nothing more.
        inhibitor.acquire(QStringLiteral("again"));
        QTest::qWait(100);
        QCOMPARE(logind.calls, 1);
        QVERIFY(!logind.lockReleased());

        inhibitor.release();
        QCOMPARE(inhibitor.state(), SleepInhibitor::Released);
        QTRY_VERIFY_WITH_TIMEOUT(logind.lockReleased(), 10000);
        QCOMPARE(changes.count(), 3); // Requesting, Held, Released

        // Taken again for the next update, and given back when the inhibitor goes.
        inhibitor.acquire(QStringLiteral("Firmware update"));
        QTRY_COMPARE_WITH_TIMEOUT(inhibitor.state(), SleepInhibitor::Held, 15000);
        QCOMPARE(logind.calls, 2);
        QVERIFY(!logind.lockReleased());
    }
    QTRY_VERIFY_WITH_TIMEOUT(logind.lockReleased(), 10000);

    service.unregisterService(QStringLiteral("org.freedesktop.login1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("logind"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client2"));
}

void TestSleepInhibitor::releaseBeforeReplyLeavesNothingHeld()
{
    if (address.isEmpty())
        QSKIP("dbus-daemon is not installed");
    QDBusConnection service = QDBusConnection::connectToBus(address, QStringLiteral("logind3"));
    FakeLogind logind;
    QVERIFY(service.registerObject(QStringLiteral("/org/freedesktop/login1"), &logind,
                                   QDBusConnection::ExportAllSlots));
    QVERIFY(service.registerService(QStringLiteral("org.freedesktop.login1")));
    QDBusConnection client = QDBusConnection::connectToBus(address, QStringLiteral("client3"));

    SleepInhibitor inhibitor(client);
    inhibitor.acquire(QStringLiteral("Firmware update"));
    QCOMPARE(inhibitor.state(), SleepInhibitor::Requesting);
    inhibitor.release(); // the update ended before logind answered
    QCOMPARE(inhibitor.state(), SleepInhibitor::Released);
    QTRY_COMPARE_WITH_TIMEOUT(logind.calls, 1, 15000);
    // The late reply's descriptor is dropped, not kept as a lock nobody gives back.
    QTRY_VERIFY_WITH_TIMEOUT(logind.lockReleased(), 10000);
    QCOMPARE(inhibitor.state(), SleepInhibitor::Released);
    QCOMPARE(inhibitor.heldDescriptor(), -1);

    service.unregisterService(QStringLiteral("org.freedesktop.login1"));
    QDBusConnection::disconnectFromBus(QStringLiteral("logind3"));
    QDBusConnection::disconnectFromBus(QStringLiteral("client3"));
}

QTEST_GUILESS_MAIN(TestSleepInhibitor)
#include "tst_sleepinhibitor.moc"
