// The fault matrix, one row per line of the README's fault table: the cable pulled in each
// phase, a noisy line, a console far too slow or trickling, a full disk where the users' data is
// kept, a journal that cannot be written, a console that comes back elsewhere, a second console,
// a console swapped for another before the update, an unreadable version, a loader that erases
// for long or refuses the image, a damaged package, "Back" in the middle. Every run must end
// within its bound with a clear message, and wherever the console's users' data had been taken
// off it, the user must have been told where the kept copy is (or have it back on the console).
// CTest runs each row in a process of its own.
#include "updatescenario.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>
#include <functional>
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

bool shown(const UpdateScenario& s, const QString& text)
{
    for (const ModalAnswerer::Seen& b : s.boxesSoFar())
        if (b.text.contains(text))
            return true;
    for (const QString& m : s.resultMessages)
        if (m.contains(text))
            return true;
    return false;
}

using Setup = std::function<void(UpdateScenario&)>;

// The console the user reads first (and then unplugs) is the other one.
Setup swappedAfterBack(const std::function<void(SimOptions&)>& first)
{
    return [first](UpdateScenario& s) {
        s.swapInAfterBack = true;
        first(s.other);
    };
}

Setup trickling(const QString& transfer)
{
    return [transfer](UpdateScenario& s) {
        s.sim.trickle = true;
        s.sim.faultTransfer = transfer;
    };
}

Setup hangupAt(const QString& step, const QString& transfer)
{
    return [step, transfer](UpdateScenario& s) {
        s.sim.hangupAt = step;
        s.sim.faultTransfer = transfer;
    };
}

// How a row must end.
enum class Outcome {
    NoUpdate,     // no update can start: the run only ends at its time limit
    NotOffered,   // "Update" is never offered, and nothing reaches the console
    Untouched,    // a failure before the console's memory was erased; its users' data stay
    ImageRefused, // the loader refused the image: the console keeps its own users' data
    KeptCopyTold, // a failure after it: the kept copy exists and the user was told of it
    Completes,    // the update ends well, the users' data back on the console byte for byte
    EitherWay,    // ends well, or fails with the common promises kept
};
} // namespace

Q_DECLARE_METATYPE(Setup)
Q_DECLARE_METATYPE(Outcome)

class TestE2eFaults : public QObject
{
    Q_OBJECT

private slots:
    void fault_data();
    void fault();

private:
    // Runs s until it quits or, if it settles, a failure (or the text told) has shown and
    // things went quiet; then checks the promises every row shares.
    static void runAndCheck(UpdateScenario& s, const QString& told, bool settles, int timeoutMs,
                            bool mustEnd);
    // The updated console's users' data are its own, taken under its serial number and made
    // fit for the new firmware.
    static void checkUsersDataOfUpdatedConsole(const UpdateScenario& s);
};

void TestE2eFaults::fault_data()
{
    QTest::addColumn<Setup>("setup");
    QTest::addColumn<bool>("smallDisk"); // the updater's data home on a 16 KiB file system
    QTest::addColumn<Outcome>("outcome");
    QTest::addColumn<QString>("told"); // a text the user must have been shown

    const Setup none = [](UpdateScenario&) {};
    QTest::newRow("cable pulled during the identity query")
        << hangupAt("reply:SN", "any") << false << Outcome::NoUpdate << "Serial Port Diconnected";
    QTest::newRow("cable pulled while the users' data come off")
        << hangupAt("block:1", "send") << false << Outcome::Untouched << QString();
    QTest::newRow("cable pulled at loader entry")
        << hangupAt("cmd:spi", "any") << false << Outcome::EitherWay << QString();
    QTest::newRow("cable pulled during the image")
        << hangupAt("block:100", "loader") << false << Outcome::KeptCopyTold << QString();
    QTest::newRow("cable pulled during the re-flash")
        << hangupAt("program", "any") << false << Outcome::KeptCopyTold << QString();
    QTest::newRow("cable pulled during the restore")
        << hangupAt("cmd:rm", "any") << false << Outcome::KeptCopyTold << QString();
    QTest::newRow("garbage bytes before every reply") << Setup([](UpdateScenario& s) {
        s.sim.replyJunk = QByteArray("\x00\xff\x1b[2J#@!\xfe", 10);
    }) << false << Outcome::Untouched << "firmware version of the Device could not be read";
    QTest::newRow("console far too slow")
        << Setup([](UpdateScenario& s) { s.sim.replyDelayMs = 8000; }) << false
        << Outcome::Untouched << QString();
    QTest::newRow("full disk where the users' file is kept")
        << none << true << Outcome::Untouched << "could not be saved on this computer";
    QTest::newRow("console back under a new path after each reset")
        << Setup([](UpdateScenario& s) { s.newPathOnReset = true; }) << false << Outcome::Completes
        << QString();
    // The updated console moves to a new link after the reset; the other one, which sorts
    // after it, is then the first console in the window's list.
    QTest::newRow("two consoles, the other listed first after the reset")
        << Setup([](UpdateScenario& s) {
               s.newPathOnReset = true;
               s.withOtherConsole = true;
           })
        << false << Outcome::Completes << QString();
    QTest::newRow("version reply that cannot be read")
        << Setup([](UpdateScenario& s) { s.sim.version = QStringLiteral("v?.??"); }) << false
        << Outcome::Untouched << "firmware version of the Device could not be read";
    // Longer than the 180 s the header's ACK once had; a loader that polls all the while must
    // not be taken for one that lost the header.
    QTest::newRow("loader erasing for four minutes")
        << Setup([](UpdateScenario& s) { s.sim.eraseMs = 240000; }) << false << Outcome::Completes
        << QString();
    QTest::newRow("loader polling with C while it erases for four minutes")
        << Setup([](UpdateScenario& s) {
               s.sim.eraseMs = 240000;
               s.sim.pollDuringErase = true;
           })
        << false << Outcome::Completes << QString();

    // Read one console, go back, swap it for another: the update is the second one's, with
    // what that console needs. The first runs a version past the layout change, the second
    // one before it, so only the second one's users' data need the migration.
    QTest::newRow("console swapped after Back")
        << swappedAfterBack([](SimOptions& first) { first.version = QStringLiteral("01020500"); })
        << false << Outcome::Completes << "Operations are successfully terminated!";
    QTest::newRow("rescue console swapped for a healthy one")
        << swappedAfterBack([](SimOptions& first) { first.startInLoader = true; }) << false
        << Outcome::Completes << "Operations are successfully terminated!";
    QTest::newRow("loader that rejects the image")
        << Setup([](UpdateScenario& s) { s.sim.rejectImage = true; }) << false
        << Outcome::ImageRefused << "did not take the new firmware";
    QTest::newRow("Back during the users' data transfer") << Setup([](UpdateScenario& s) {
        s.backWhenConsoleIs = QStringLiteral("sending");
        s.answers = {QMessageBox::Yes};
    }) << false << Outcome::Untouched << "stopped before the Device was changed";
    QTest::newRow("package with a versions.ini without its header") << Setup([](UpdateScenario& s) {
        s.editVersionsIni = [](QByteArray& ini) { ini.replace("[Versions]\r\n", ""); };
    }) << false << Outcome::NotOffered << "firmware package is not valid";
    // Query=2 and one statement: the file was cut off.
    QTest::newRow("package with a versions.ini cut off in its statements")
        << Setup([](UpdateScenario& s) {
               s.editVersionsIni = [&s](QByteArray& ini) {
                   ini.chop(s.queries.last().toUtf8().size() + 2);
               };
           })
        << false << Outcome::NotOffered << "firmware package is not valid";
    // A file where the journal's folder should be: nothing can be written there.
    QTest::newRow("unwritable journal folder") << Setup([](UpdateScenario& s) {
        const QString updaterData = s.dataHome() + QStringLiteral("/Brenvik/Updater");
        QFile blocker(updaterData + QStringLiteral("/journal"));
        if (!QDir().mkpath(updaterData) || !blocker.open(QIODevice::WriteOnly))
            qFatal("cannot block the journal folder");
    }) << false << Outcome::Untouched << "update journal could not be written";
    QTest::newRow("console trickling instead of sending the users' data")
        << trickling(QStringLiteral("send")) << false << Outcome::Untouched
        << "User Settings File Not Found";
    QTest::newRow("console trickling instead of taking the users' data back")
        << trickling(QStringLiteral("receive")) << false << Outcome::KeptCopyTold
        << "Device did not answer";
}

void TestE2eFaults::fault()
{
    QFETCH(Setup, setup);
    QFETCH(bool, smallDisk);
    QFETCH(Outcome, outcome);
    QFETCH(QString, told);

    QTemporaryDir mountPoint;
    struct Unmount {
        QString path;
        ~Unmount()
        {
            if (!path.isEmpty())
                QProcess::execute(QStringLiteral("umount"), {path});
        }
    } unmount;
    if (smallDisk) {
        QProcess mount;
        mount.start(QStringLiteral("mount"),
                    {QStringLiteral("-t"), QStringLiteral("tmpfs"), QStringLiteral("-o"),
                     QStringLiteral("size=16k"), QStringLiteral("tmpfs"), mountPoint.path()});
        if (!mount.waitForFinished(10000) || mount.exitCode() != 0)
            QSKIP("cannot mount a small file system here (needs root)");
        unmount.path = mountPoint.path();
    }

    UpdateScenario s(fastScale);
    if (smallDisk)
        s.dataHomeOverride = mountPoint.path();
    setup(s);
    // Without an update to start, the run only ends at its (shorter) limit.
    const bool noUpdate = outcome == Outcome::NoUpdate || outcome == Outcome::NotOffered;
    // What a failing row must tell also ends its run; a success ends by itself, and a row
    // that must not be offered an update runs on until the user gives up waiting for one.
    const bool endsOnTold = !noUpdate && outcome != Outcome::Completes;
    runAndCheck(s, endsOnTold ? told : QString(), outcome != Outcome::NotOffered,
                noUpdate ? 45000 : runTimeoutMs, !noUpdate);
    if (QTest::currentTestFailed())
        return;

    if (!told.isEmpty())
        QVERIFY2(shown(s, told), qPrintable(QStringLiteral("not shown: ") + told));
    if (!s.backWhenConsoleIs.isEmpty())
        QVERIFY2(s.backClicked(), "\"Back\" was never pressed");
    const bool erased = s.console.value(QStringLiteral("sectorErased")).toBool();
    const QByteArray usersDb = readAll(s.consoleFile(QStringLiteral("/BrenvikDATA")));
    switch (outcome) {
    case Outcome::NotOffered:
        QVERIFY2(!s.updateClicked(), "an update was offered");
        QCOMPARE(s.console.value(QStringLiteral("resetCount")).toInt(), 0);
        QCOMPARE(usersDb, s.usersDbAtStart);
        Q_FALLTHROUGH();
    case Outcome::NoUpdate:
        QVERIFY(!s.applicationQuit);
        QVERIFY(!erased);
        QVERIFY(s.keptCopies.isEmpty());
        break;
    case Outcome::Untouched:
        QVERIFY(!erased);
        QCOMPARE(s.console.value(QStringLiteral("imagesProgrammed")).toInt(), 0);
        QCOMPARE(s.console.value(QStringLiteral("resetCount")).toInt(), 0);
        QVERIFY2(usersDb == s.usersDbAtStart, "the console's users' data were changed");
        break;
    case Outcome::ImageRefused:
        // The row met the fault: the whole image went out and the loader refused it.
        QCOMPARE(s.console.value(QStringLiteral("imagesRejected")).toInt(), 1);
        QCOMPARE(s.console.value(QStringLiteral("version")).toString(), s.sim.version);
        QVERIFY2(!s.sawBox(QStringLiteral("Uploader")), "success claimed for a refused image");
        QVERIFY2(!s.simLog().contains(QLatin1String("shell: rm /BrenvikDATA")),
                 "the console's users' data were removed");
        QVERIFY2(usersDb == s.usersDbAtStart, "the console's users' data were changed");
        break;
    case Outcome::KeptCopyTold:
        QVERIFY(!s.keptCopies.isEmpty());
        break;
    case Outcome::Completes:
        QVERIFY2(s.applicationQuit && s.sawBox(QStringLiteral("Uploader")),
                 "the update did not complete");
        QCOMPARE(s.console.value(QStringLiteral("imagesProgrammed")).toInt(), 1);
        QVERIFY2(!s.keptCopies.isEmpty(), "no users' data kept: updated as a rescue");
        QCOMPARE(usersDb, readAll(s.keptCopies.last()));
        checkUsersDataOfUpdatedConsole(s);
        break;
    case Outcome::EitherWay:
        break;
    }
    // A second console, or the one swapped out, is never touched.
    if (s.withOtherConsole || s.swapInAfterBack) {
        QCOMPARE(s.otherStatus.value(QStringLiteral("resetCount")).toInt(), 0);
        QCOMPARE(s.otherStatus.value(QStringLiteral("sectorErased")).toBool(),
                 s.other.startInLoader);
        QCOMPARE(s.otherStatus.value(QStringLiteral("filesReceived")).toInt(), 0);
        QVERIFY(!s.otherFilesBefore.isEmpty());
        QCOMPARE(s.otherFilesAfter, s.otherFilesBefore);
    }
}

void TestE2eFaults::checkUsersDataOfUpdatedConsole(const UpdateScenario& s)
{
    const QString serial = s.sim.serialNumber();
    const QString db = s.consoleFile(QStringLiteral("/BrenvikDATA"));
    // The version reply's digits after its first two against the package's layout change.
    if (s.sim.version.mid(2).toInt() < s.vChanged.toInt())
        QVERIFY2(UpdateScenario::firstValue(db, QStringLiteral("SELECT COUNT(*) FROM "
                                                               "e2e_migrated"))
                         .toInt() == 1,
                 "the users' data were not migrated");
    QCOMPARE(UpdateScenario::firstValue(db, QStringLiteral("SELECT value FROM settings WHERE "
                                                           "key = 'serial'"))
                 .toString(),
             serial);
    QVERIFY2(QFileInfo(s.keptCopies.last()).dir().dirName().startsWith(serial + QLatin1Char('_')),
             qPrintable(QStringLiteral("kept under another name: ") + s.keptCopies.last()));
    QCOMPARE(s.serialShownAtUpdate, serial);
}

void TestE2eFaults::runAndCheck(UpdateScenario& s, const QString& told, bool settles, int timeoutMs,
                                bool mustEnd)
{
    auto quietSince = std::make_shared<QElapsedTimer>();
    auto lastSeen = std::make_shared<QString>();
    s.settled = [quietSince, lastSeen, told, settles](const UpdateScenario& run) {
        if (!settles || (!failureShown(run) && (told.isEmpty() || !shown(run, told))))
            return false;
        // Quiet on the line too: a sequence that goes on after the message would still change
        // the console.
        const QJsonObject console = run.consoleNow();
        const QString seen = QString::number(run.boxesSoFar().size() + run.resultMessages.size()) +
                             console.value(QStringLiteral("state")).toString() +
                             console.value(QStringLiteral("lastStep")).toString();
        if (seen != *lastSeen) {
            *lastSeen = seen;
            quietSince->start();
            return false;
        }
        return quietSince->elapsed() >= settleQuietMs;
    };
    QString why;
    QElapsedTimer took;
    took.start();
    const bool ended = s.run(timeoutMs, &why);

    QStringList seen;
    for (const ModalAnswerer::Seen& b : s.boxes)
        seen << b.title + QStringLiteral(": ") + b.text;
    seen << s.resultMessages;
    qInfo().noquote() << "outcome after" << took.elapsed()
                      << "ms:" << seen.join(QStringLiteral(" | "));
    if (!mustEnd)
        return;
    QVERIFY2(ended, qPrintable(why + QStringLiteral("\n") + s.simLog()));

    if (s.applicationQuit && s.sawBox(QStringLiteral("Uploader"))) {
        // Came through after all: then the users' data must be back on the console.
        if (!s.keptCopies.isEmpty())
            QCOMPARE(readAll(s.consoleFile(QStringLiteral("/BrenvikDATA"))),
                     readAll(s.keptCopies.last()));
        return;
    }
    QVERIFY2(failureShown(s) || (!told.isEmpty() && shown(s, told)),
             "the run ended without a clear message");
    // Users' data taken off a console that was then changed: the user is told where it is.
    const bool consoleChanged =
        s.console.value(QStringLiteral("sectorErased")).toBool() ||
        s.console.value(QStringLiteral("state")).toString() == QLatin1String("loader");
    if (!s.keptCopies.isEmpty() && consoleChanged)
        QVERIFY2(s.sawBox(QStringLiteral("Users Data"), s.keptCopies.last()),
                 "the user was not told where the users' data is kept");
}

QTEST_MAIN(TestE2eFaults)
#include "tst_e2e_faults.moc"
