// The update controller alone, without windows or worker: what a run asks for as the worker's
// reports come in, where it stops, and that it ends exactly once whatever comes after.
#include "resultcodes.h"
#include "timescale.h"
#include "updatecontroller.h"
#include "updateprompts.h"

#include <QFile>
#include <QStandardPaths>
#include <QtTest>
#include <functional>

namespace
{
class RecordedPrompts : public UpdatePrompts
{
public:
    void tell(Kind, const QString& title, const QString& text) override
    {
        told << title + QStringLiteral(": ") + text;
    }
    bool ask(const QString& title, const QString& text) override
    {
        told << title + QStringLiteral("? ") + text;
        return answer;
    }
    void showResultMessage(const QString& text, bool) override { told << text; }
    QStringList told;
    bool answer = true;
};

// One report of the worker (or of the user) fed to the run.
using Event = std::function<void(UpdateController&)>;

Event result(int res)
{
    return [res](UpdateController& c) { c.workerResult(res); };
}
Event console(const QString& serial, const QString& version)
{
    return [serial, version](UpdateController& c) {
        c.versionReported(version);
        c.serialReported(serial);
    };
}
// The re-flash wait runs on the event loop.
Event waitOver()
{
    return [](UpdateController& c) { QTRY_VERIFY(c.step() != UpdateStep::ImageSent); };
}
const Event stop = [](UpdateController& c) { c.requestStop(); };
const Event renamed = [](UpdateController& c) { c.renameDone(); };
} // namespace

Q_DECLARE_METATYPE(QList<Event>)

class TestUpdateController : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void run_data();
    void run();
    void unwritableJournalRefusesBeforeTheConsole();
};

void TestUpdateController::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setApplicationName(QStringLiteral("tst_updatecontroller"));
    TimeScale::setFactor(0.002); // the 50 s wait in 0.1 s
}

void TestUpdateController::run_data()
{
    QTest::addColumn<QList<Event>>("events");
    QTest::addColumn<int>("code");          // of the one finished(); 1: none expected
    QTest::addColumn<QStringList>("asked"); // the requests made, in order
    QTest::addColumn<QString>("told");      // a text the user was shown

    const Event found = console(QStringLiteral("SN1"), QStringLiteral("v12.00"));
    QTest::newRow("whole update") << QList<Event>{result(0),   waitOver(),  found,
                                                  result(-11), result(-10), renamed}
                                  << 0 << QStringList{"go",      "transmit", "connect", "read",
                                                      "connect", "users",    "connect", "rename"}
                                  << QString();
    // A later report of any kind cannot end the run again or start another step.
    QTest::newRow("failure in the image, reports after it")
        << QList<Event>{result(12), result(-11), renamed, result(-10)} << 12
        << QStringList{"go", "transmit"} << "Transfer Failed with error 12";
    QTest::newRow("another console answers first")
        << QList<Event>{result(0), waitOver(), console("SN9", "v12.00"), result(-11)} << 1
        << QStringList{"go", "transmit", "connect", "read", "connect", "read"} << QString();
    QTest::newRow("the loader did not take the image")
        << QList<Event>{result(0), waitOver(), console("SN1", "v11.00"), result(-11)}
        << int(RunResult::ImageNotTaken) << QStringList{"go", "transmit", "connect", "read"}
        << "did not take the new firmware";
    QTest::newRow("stop before the loader")
        << QList<Event>{stop, result(ResultCode::StoppedByUser), result(-11)}
        << int(ResultCode::StoppedByUser) << QStringList{"go", "transmit", "stop"}
        << "stopped before the Device was changed";
    // Once the image is in, a stop ends the run at once; the worker's later reports do nothing.
    QTest::newRow("stop during the re-flash wait")
        << QList<Event>{result(0), stop, result(-11), renamed} << int(ResultCode::StoppedByUser)
        << QStringList{"go", "transmit"} << QString();
}

void TestUpdateController::run()
{
    QFETCH(QList<Event>, events);
    QFETCH(int, code);
    QFETCH(QStringList, asked);
    QFETCH(QString, told);

    RecordedPrompts prompts;
    UpdateController c(&prompts, [] { return QStringList{"/dev/b", "/dev/a"}; });
    c.setRelease(QStringLiteral("v12.00"));
    QStringList requests;
    connect(&c, &UpdateController::transmit, this, [&] { requests << "transmit"; });
    connect(&c, &UpdateController::connectTo, this, [&] { requests << "connect"; });
    connect(&c, &UpdateController::readUpdatedConsole, this, [&] { requests << "read"; });
    connect(&c, &UpdateController::transmitUsersData, this, [&] { requests << "users"; });
    connect(&c, &UpdateController::renameModule, this, [&] { requests << "rename"; });
    connect(&c, &UpdateController::stopWorker, this,
            [&](bool stop) { requests << (stop ? "stop" : "go"); });
    QSignalSpy finished(&c, &UpdateController::finished);

    c.consoleConnected();
    c.versionReported(QStringLiteral("v11.00"));
    c.serialReported(QStringLiteral("SN1"));
    QVERIFY(c.start(QStringLiteral("/dev/a"), QStringLiteral("/pkg/fs.iso"), false));
    QVERIFY(!c.start(QStringLiteral("/dev/a"), QStringLiteral("/pkg/fs.iso"), false));
    // The worker names the kept copy of the users' data.
    c.usersDataPathReported(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) +
                            QStringLiteral("/users-data/SN1_1/BrenvikDATA"));
    for (const Event& e : events)
        e(c);

    QCOMPARE(requests, asked);
    QCOMPARE(finished.count(), code == 1 ? 0 : 1);
    if (code != 1)
        QCOMPARE(finished.first().first().value<UpdateResult>().code, code);
    QCOMPARE(c.isRunning(), code == 1);
    if (!told.isEmpty()) {
        const QString all =
            prompts.told.join('\n') + (finished.isEmpty()
                                           ? QString()
                                           : finished.first().first().value<UpdateResult>().detail);
        QVERIFY2(all.contains(told), qPrintable(all));
    }
}

void TestUpdateController::unwritableJournalRefusesBeforeTheConsole()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(QDir().mkpath(data));
    QDir(data + "/journal").removeRecursively();
    QFile blocker(data + "/journal");
    QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder must be
    blocker.close();

    RecordedPrompts prompts;
    UpdateController c(&prompts, {});
    QSignalSpy transmit(&c, &UpdateController::transmit);
    QSignalSpy finished(&c, &UpdateController::finished);
    QVERIFY(!c.start(QStringLiteral("/dev/a"), QStringLiteral("/pkg/fs.iso"), false));
    QFile::remove(data + "/journal");

    QCOMPARE(transmit.count(), 0);
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().value<UpdateResult>().code,
             int(RunResult::JournalNotWritten));
}

QTEST_GUILESS_MAIN(TestUpdateController)
#include "tst_updatecontroller.moc"
