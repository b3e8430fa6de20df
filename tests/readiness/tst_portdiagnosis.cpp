// PortDiagnosis: the reason and fix for each way an open fails, the device's group, and the
// /proc scan for the processes holding a pseudo-terminal opened here.
#include "portdiagnosis.h"
#include "qextserialport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <fcntl.h>
#include <grp.h>
#include <pty.h>
#include <unistd.h>

namespace
{
// A group this process is not a member of, or -1.
gid_t foreignGroup()
{
    const int count = ::getgroups(0, nullptr);
    QVector<gid_t> mine(qMax(count, 0));
    if (count > 0)
        ::getgroups(count, mine.data());
    setgrent();
    gid_t result = gid_t(-1);
    while (struct group* g = getgrent()) {
        if (g->gr_gid != getegid() && !mine.contains(g->gr_gid)) {
            result = g->gr_gid;
            break;
        }
    }
    endgrent();
    return result;
}

bool holdsPid(const QList<PortDiagnosis::Holder>& holders, qint64 pid, QString* name = nullptr)
{
    for (const PortDiagnosis::Holder& h : holders) {
        if (h.pid == pid) {
            if (name)
                *name = h.name;
            return true;
        }
    }
    return false;
}
} // namespace

class TestPortDiagnosis : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void reasonFromErrno_data();
    void reasonFromErrno();
    void permissionNamesGroupAndFix();
    void permissionInGroupAsksForNewLogin();
    void busyNamesThisProcess();
    void busyNamesAnotherProgram();
    void busyThroughSymlink();
    void busyWithNobodyKnown();
    void goneAndOther();
    void lastOpenFailureOfThePort();

private:
    int master = -1;
    int slave = -1;
    QString slaveName;
    QTemporaryDir dir;
};

void TestPortDiagnosis::init()
{
    char name[128] = {};
    QVERIFY(::openpty(&master, &slave, name, nullptr, nullptr) == 0);
    slaveName = QString::fromLocal8Bit(name);
}

void TestPortDiagnosis::cleanup()
{
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
    slave = master = -1;
}

void TestPortDiagnosis::reasonFromErrno_data()
{
    QTest::addColumn<int>("err");
    QTest::addColumn<int>("reason");
    QTest::newRow("none") << 0 << int(PortDiagnosis::NoError);
    QTest::newRow("EACCES") << EACCES << int(PortDiagnosis::PermissionDenied);
    QTest::newRow("EPERM") << EPERM << int(PortDiagnosis::PermissionDenied);
    QTest::newRow("EBUSY") << EBUSY << int(PortDiagnosis::Busy);
    QTest::newRow("EWOULDBLOCK") << EWOULDBLOCK << int(PortDiagnosis::Busy);
    QTest::newRow("ENOENT") << ENOENT << int(PortDiagnosis::Gone);
    QTest::newRow("ENODEV") << ENODEV << int(PortDiagnosis::Gone);
    QTest::newRow("ENXIO") << ENXIO << int(PortDiagnosis::Gone);
    QTest::newRow("EIO") << EIO << int(PortDiagnosis::Gone);
    QTest::newRow("EINVAL") << EINVAL << int(PortDiagnosis::OtherError);
    QTest::newRow("EMFILE") << EMFILE << int(PortDiagnosis::OtherError);
}

void TestPortDiagnosis::reasonFromErrno()
{
    QFETCH(int, err);
    QFETCH(int, reason);
    const PortDiagnosis d = PortDiagnosis::diagnose(slaveName, err);
    QCOMPARE(int(d.reason()), reason);
    QCOMPARE(d.errorNumber(), err);
    if (reason == PortDiagnosis::NoError) {
        QVERIFY(d.detail().isEmpty());
    } else {
        QVERIFY(d.detail().startsWith(d.summary()));
        QVERIFY(d.detail().contains(slaveName));
    }
}

void TestPortDiagnosis::permissionNamesGroupAndFix()
{
    // Root opens anything, so the denial itself cannot be produced here: give a device-like
    // file a group this process is not in and diagnose the error number.
    const gid_t gid = foreignGroup();
    if (gid == gid_t(-1))
        QSKIP("no group outside this process' groups");
    const QString file = dir.filePath(QStringLiteral("ttyPERM"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    if (::chown(QFile::encodeName(file).constData(), uid_t(-1), gid) != 0)
        QSKIP("cannot give the file another group (not root)");
    const QString name = QString::fromLocal8Bit(getgrgid(gid)->gr_name);

    const PortDiagnosis d = PortDiagnosis::diagnose(file, EACCES);
    QCOMPARE(d.reason(), PortDiagnosis::PermissionDenied);
    QCOMPARE(d.owningGroup(), name);
    QVERIFY(!d.userInGroup());
    QVERIFY2(d.detail().contains(QStringLiteral("sudo usermod -aG %1 $USER").arg(name)),
             qPrintable(d.detail()));
    QVERIFY(d.detail().contains(QStringLiteral("udev rules")));
    QVERIFY(d.detail().contains(QStringLiteral("log in again")));
}

void TestPortDiagnosis::permissionInGroupAsksForNewLogin()
{
    const QString file = dir.filePath(QStringLiteral("ttyMINE"));
    QFile f(file);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.close();
    QVERIFY(::chown(QFile::encodeName(file).constData(), uid_t(-1), getegid()) == 0);

    const PortDiagnosis d = PortDiagnosis::diagnose(file, EACCES);
    QVERIFY(d.userInGroup());
    QVERIFY(!d.detail().contains(QStringLiteral("usermod")));
    QVERIFY(d.detail().contains(QStringLiteral("Log out and log in again")));
}

void TestPortDiagnosis::busyNamesThisProcess()
{
    const PortDiagnosis d = PortDiagnosis::diagnose(slaveName, EBUSY);
    QCOMPARE(d.reason(), PortDiagnosis::Busy);
    QString name;
    QVERIFY(holdsPid(d.holders(), ::getpid(), &name));
    QFile comm(QStringLiteral("/proc/self/comm"));
    QVERIFY(comm.open(QIODevice::ReadOnly));
    QCOMPARE(name, QString::fromLocal8Bit(comm.readAll()).trimmed());
    QVERIFY(d.detail().contains(QStringLiteral("(process %1)").arg(::getpid())));
}

void TestPortDiagnosis::busyNamesAnotherProgram()
{
    QProcess sleeper;
    sleeper.setStandardInputFile(slaveName);
    sleeper.start(QStringLiteral("sleep"), {QStringLiteral("30")});
    QVERIFY(sleeper.waitForStarted(10000));
    // Only the program holding it is named; after it ends, only this process is left.
    QString name;
    QTRY_VERIFY_WITH_TIMEOUT(
        holdsPid(PortDiagnosis::processesHolding(slaveName), sleeper.processId(), &name), 10000);
    QCOMPARE(name, QStringLiteral("sleep"));
    const PortDiagnosis d = PortDiagnosis::diagnose(slaveName, EBUSY);
    QVERIFY(d.detail().contains(QStringLiteral("sleep (process %1)").arg(sleeper.processId())));
    const qint64 pid = sleeper.processId();
    sleeper.kill();
    QVERIFY(sleeper.waitForFinished(10000));
    QVERIFY(!holdsPid(PortDiagnosis::processesHolding(slaveName), pid));
}

void TestPortDiagnosis::busyThroughSymlink()
{
    const QString link = dir.filePath(QStringLiteral("by-id-console"));
    QVERIFY(QFile::link(slaveName, link));
    QVERIFY(holdsPid(PortDiagnosis::diagnose(link, EBUSY).holders(), ::getpid()));
}

void TestPortDiagnosis::busyWithNobodyKnown()
{
    // Close this process' slave end: only the master (another device) stays open.
    ::close(slave);
    slave = -1;
    const PortDiagnosis d = PortDiagnosis::diagnose(slaveName, EBUSY);
    QVERIFY(d.holders().isEmpty());
    QVERIFY(d.detail().contains(QStringLiteral("Another program has %1 open.").arg(slaveName)));
    // An ordinary file is no device and is held by nobody.
    QVERIFY(PortDiagnosis::processesHolding(QStringLiteral("/proc/self/status")).isEmpty());
}

void TestPortDiagnosis::goneAndOther()
{
    const QString missing = dir.filePath(QStringLiteral("ttyACM9"));
    const PortDiagnosis gone = PortDiagnosis::diagnose(missing, ENOENT);
    QCOMPARE(gone.reason(), PortDiagnosis::Gone);
    QVERIFY(gone.detail().contains(QStringLiteral("unplugged")));
    QVERIFY(gone.holders().isEmpty());

    const PortDiagnosis other = PortDiagnosis::diagnose(slaveName, EINVAL);
    QCOMPARE(other.reason(), PortDiagnosis::OtherError);
    QVERIFY(other.detail().contains(QString::fromLocal8Bit(strerror(EINVAL))));
    QVERIFY(other.detail().contains(QStringLiteral("error %1").arg(EINVAL)));
}

void TestPortDiagnosis::lastOpenFailureOfThePort()
{
    // What the window shows after the worker's port failed to open: the port layer keeps the
    // error number and the port's name.
    const QString missing = dir.filePath(QStringLiteral("ttyACM7"));
    {
        QextSerialPort port(missing, EventIo);
        QVERIFY(!port.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    }
    PortDiagnosis d = PortDiagnosis::lastOpenFailure();
    QCOMPARE(d.reason(), PortDiagnosis::Gone);
    QCOMPARE(d.device(), missing);
    QCOMPARE(d.errorNumber(), ENOENT);
    QVERIFY(d.traceText().endsWith(QStringLiteral("\r\n")));
    QVERIFY(!d.traceText().contains(QRegularExpression(QStringLiteral("[^\r]\n"))));

    // A later open that succeeds clears it.
    {
        QextSerialPort port(slaveName, EventIo);
        QVERIFY(port.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
        port.close();
    }
    d = PortDiagnosis::lastOpenFailure();
    QCOMPARE(d.reason(), PortDiagnosis::NoError);
    QVERIFY(d.detail().isEmpty());
    QVERIFY(d.traceText().isEmpty());
}

QTEST_GUILESS_MAIN(TestPortDiagnosis)
#include "tst_portdiagnosis.moc"
