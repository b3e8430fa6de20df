// The fault matrix: the cable pulled in each phase, a noisy line, a console far too slow, a
// full disk where the users' data is kept. Every run must end within its bound with a clear
// message, and wherever the console's users' data had been taken off it, the user must have
// been told where the kept copy is (or have it back on the console).
#include "updatejournal.h"
#include "updatescenario.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QtTest>
#include <memory>

namespace
{
const double fastScale = 0.15;
const int runTimeoutMs = 150000;
// Once a failure has shown, the boxes that follow it come at once; this much quiet ends the run.
const int settleQuietMs = 1500;

const QStringList failureTitles = {QStringLiteral("Error"), QStringLiteral("Users Data"),
                                   QStringLiteral("Version Error")};

bool isFailureMessage(const QString& text)
{
    return text.startsWith(QLatin1String("Transfer Failed")) ||
           text.startsWith(QLatin1String("Transfer Aborted"));
}

bool failureShown(const UpdateScenario& s)
{
    for (const QString& m : s.resultMessages)
        if (isFailureMessage(m))
            return true;
    for (const ModalAnswerer::Seen& b : s.boxesSoFar())
        if (failureTitles.contains(b.title))
            return true;
    return false;
}

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}
} // namespace

class TestE2eFaults : public QObject
{
    Q_OBJECT

private slots:
    void cablePulledDuringQuery();
    void cablePulledWhileSavingUsersData();
    void cablePulledAtLoaderEntry();
    void cablePulledDuringImage();
    void cablePulledDuringReflash();
    void cablePulledDuringRestore();
    void garbageInReplies();
    void consoleFarTooSlow();
    void diskFullForUsersData();

private:
    // Runs s until it quits or a failure has shown and things went quiet; checks the common
    // promises and returns the failure texts seen, for the row's own checks.
    static void runAndCheck(UpdateScenario& s);
    static void hangupAt(UpdateScenario& s, const QString& step, const QString& transfer);
};

void TestE2eFaults::hangupAt(UpdateScenario& s, const QString& step, const QString& transfer)
{
    s.sim.hangupAt = step;
    s.sim.faultTransfer = transfer;
}

void TestE2eFaults::runAndCheck(UpdateScenario& s)
{
    auto quietSince = std::make_shared<QElapsedTimer>();
    auto lastCount = std::make_shared<int>(-1);
    s.settled = [quietSince, lastCount](const UpdateScenario& run) {
        if (!failureShown(run))
            return false;
        const int count = run.boxesSoFar().size() + run.resultMessages.size();
        if (count != *lastCount) {
            *lastCount = count;
            quietSince->start();
            return false;
        }
        return quietSince->elapsed() >= settleQuietMs;
    };
    QString why;
    QElapsedTimer took;
    took.start();
    const bool ended = s.run(runTimeoutMs, &why);
    QVERIFY2(ended, qPrintable(why + QStringLiteral("\n") + s.simLog()));

    QStringList seen;
    for (const ModalAnswerer::Seen& b : s.boxes)
        seen << b.title + QStringLiteral(": ") + b.text;
    seen << s.resultMessages;
    qInfo().noquote() << "outcome after" << took.elapsed()
                      << "ms:" << seen.join(QStringLiteral(" | "));

    if (s.applicationQuit && s.sawBox(QStringLiteral("Uploader"))) {
        // Came through after all: then the users' data must be back on the console.
        if (!s.keptCopies.isEmpty())
            QCOMPARE(readAll(s.consoleFile(QStringLiteral("/BrenvikDATA"))),
                     readAll(s.keptCopies.last()));
        return;
    }
    QVERIFY2(failureShown(s), "the run ended without a clear message");
    // Users' data taken off a console that was then changed: the user is told where it is.
    const bool consoleChanged =
        s.console.value(QStringLiteral("sectorErased")).toBool() ||
        s.console.value(QStringLiteral("state")).toString() == QLatin1String("loader");
    if (!s.keptCopies.isEmpty() && consoleChanged)
        QVERIFY2(s.sawBox(QStringLiteral("Users Data"), s.keptCopies.last()),
                 "the user was not told where the users' data is kept");
}

void TestE2eFaults::cablePulledDuringQuery()
{
    UpdateScenario s(fastScale);
    hangupAt(s, QStringLiteral("reply:SN"), QStringLiteral("any"));
    QString why;
    // The console went before its data was read: no update can start (the run only ends at
    // its time limit), the window says the port is gone, and the console was never touched.
    QVERIFY(!s.run(45000, &why));
    qInfo().noquote() << "outcome:" << why << "|" << s.resultMessages.join(QStringLiteral(" | "));
    QVERIFY(s.sawMessage(QStringLiteral("Serial Port Diconnected")));
    QVERIFY(!s.console.value(QStringLiteral("sectorErased")).toBool());
    QVERIFY(s.keptCopies.isEmpty());
}

void TestE2eFaults::cablePulledWhileSavingUsersData()
{
    UpdateScenario s(fastScale);
    hangupAt(s, QStringLiteral("block:1"), QStringLiteral("send"));
    runAndCheck(s);
    // Nothing was erased: the console keeps its own data.
    QVERIFY(!s.console.value(QStringLiteral("sectorErased")).toBool());
}

void TestE2eFaults::cablePulledAtLoaderEntry()
{
    UpdateScenario s(fastScale);
    hangupAt(s, QStringLiteral("cmd:spi"), QStringLiteral("any"));
    runAndCheck(s);
}

void TestE2eFaults::cablePulledDuringImage()
{
    UpdateScenario s(fastScale);
    hangupAt(s, QStringLiteral("block:100"), QStringLiteral("loader"));
    runAndCheck(s);
    QVERIFY(!s.keptCopies.isEmpty());
}

void TestE2eFaults::cablePulledDuringReflash()
{
    UpdateScenario s(fastScale);
    hangupAt(s, QStringLiteral("program"), QStringLiteral("any"));
    runAndCheck(s);
    QVERIFY(!s.keptCopies.isEmpty());
}

void TestE2eFaults::cablePulledDuringRestore()
{
    UpdateScenario s(fastScale);
    hangupAt(s, QStringLiteral("cmd:rm"), QStringLiteral("any"));
    runAndCheck(s);
    QVERIFY(!s.keptCopies.isEmpty());
}

void TestE2eFaults::garbageInReplies()
{
    UpdateScenario s(fastScale);
    s.sim.replyJunk = QByteArray("\x00\xff\x1b[2J#@!\xfe", 10);
    runAndCheck(s);
}

void TestE2eFaults::consoleFarTooSlow()
{
    UpdateScenario s(fastScale);
    s.sim.replyDelayMs = 8000; // every information reply arrives long after its wait
    runAndCheck(s);
    QVERIFY(!s.console.value(QStringLiteral("sectorErased")).toBool() || !s.keptCopies.isEmpty());
}

void TestE2eFaults::diskFullForUsersData()
{
    // The updater's data home on a file system with no room for the users' data.
    QTemporaryDir mountPoint;
    const QString home = mountPoint.path();
    QProcess mount;
    mount.start(QStringLiteral("mount"),
                {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                 QStringLiteral("size=16k"), QStringLiteral("tmpfs"), home});
    if (!mount.waitForFinished(10000) || mount.exitCode() != 0)
        QSKIP("cannot mount a small file system here (needs root)");
    struct Unmount {
        QString path;
        ~Unmount() { QProcess::execute(QStringLiteral("umount"), {path}); }
    } unmount{home};

    UpdateScenario s(fastScale);
    s.dataHomeOverride = home;
    runAndCheck(s);
    // Nothing on the console was touched, and the user was told why.
    QVERIFY(!s.console.value(QStringLiteral("sectorErased")).toBool());
    QVERIFY(
        s.sawBox(QStringLiteral("Error"), QStringLiteral("could not be saved on this computer")));
}

QTEST_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
