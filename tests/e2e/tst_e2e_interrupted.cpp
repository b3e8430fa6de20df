// An update cut off after the image was sent (the console comes back in its loader, the
// updater is gone) loses nothing: started again, the updater finds the console in its loader
// and the journal the first run left, offers the saved users' data, updates the console and
// puts the data back.
#include "updatejournal.h"
#include "updatescenario.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
const double fastScale = 0.15;
const int runTimeoutMs = 150000;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QString journalDir(const QString& home)
{
    return home + QStringLiteral("/Brenvik/Updater/journal");
}

// The phase the newest journal in dir records, empty when there is none.
QString newestPhase(const QString& dir)
{
    const QDir d(dir);
    const QStringList names = d.entryList({QStringLiteral("*.journal")}, QDir::Files, QDir::Time);
    UpdateJournal::Entry e;
    if (names.isEmpty() || !UpdateJournal::read(d.filePath(names.first()), &e))
        return QString();
    return UpdateJournal::phaseName(e.phase);
}

// What outlives the runs of one test: the updater's data home and the console's files.
struct SharedData {
    QTemporaryDir keep;
    const QString home = keep.filePath(QStringLiteral("home"));
    const QString consoleDir = keep.filePath(QStringLiteral("console"));

    void use(UpdateScenario& run) const
    {
        run.dataHomeOverride = home;
        run.sim.dir = consoleDir;
        run.consoleDir = consoleDir;
    }
};
} // namespace

class TestE2eInterrupted : public QObject
{
    Q_OBJECT

private slots:
    void usersDataBackAfterCutOff();
    void declinedRunsPlainRescue();
    void restoreFailedThenOfferedInApplication();
    void cutOffBeforeErasingKeepsConsoleData();

private:
    // Runs an update that is cut off once the image is on the console; returns the kept copy
    // of the users' data the journal points at.
    static QString cutOffUpdate(const SharedData& data);
};

QString TestE2eInterrupted::cutOffUpdate(const SharedData& data)
{
    const QString& home = data.home;
    UpdateScenario first(fastScale);
    data.use(first);
    first.sim.restartInLoaderAfterImage = true; // power lost while programming
    // The updater goes (process killed) as soon as the image has been sent: what it leaves is
    // what it wrote up to then.
    first.settled = [home](const UpdateScenario&) {
        return newestPhase(journalDir(home)) == QLatin1String("image-sent");
    };
    QString why;
    if (!first.run(runTimeoutMs, &why) || first.applicationQuit) {
        qWarning() << "first run:" << why << first.simLog();
        return QString();
    }
    const QList<UpdateJournal::Entry> left = UpdateJournal::unfinished(journalDir(home));
    if (left.size() != 1 || left.first().phase != UpdateJournal::ImageSent ||
        left.first().identity.serialNumber != QLatin1String("BRV2403001234") ||
        !first.keptCopies.contains(left.first().usersFile)) {
        qWarning() << "unexpected journal after the first run" << first.keptCopies;
        return QString();
    }
    return left.first().usersFile;
}

void TestE2eInterrupted::usersDataBackAfterCutOff()
{
    const SharedData data;
    QVERIFY(data.keep.isValid());
    const QString& home = data.home;

    const QString kept = cutOffUpdate(data);
    QVERIFY(!kept.isEmpty());
    const QByteArray saved = readAll(kept);
    QVERIFY(saved.startsWith("SQLite format 3"));

    UpdateScenario second(fastScale);
    data.use(second);
    second.sim.startInLoader = true;
    // The firmware that did not come up took the console's users' database with it.
    second.sim.usersDb = SimOptions::UsersDb::None;
    second.answers = {QMessageBox::Yes};
    QString why;
    QVERIFY2(second.run(runTimeoutMs, &why), qPrintable(why + "\n" + second.simLog()));

    QVERIFY(second.sawBox("Restore Users Data", "BRV2403001234"));
    QVERIFY(second.sawBox("Restore Users Data", kept));
    QVERIFY(!second.sawBox("Warning", "WARNING: Found Monitor in waiting state."));
    QVERIFY(second.sawBox("Uploader", "Operations are successfully terminated!"));
    QVERIFY(second.applicationQuit);
    QVERIFY(second.console.value("imageStored").toBool());
    QCOMPARE(second.console.value("state").toString(), QStringLiteral("application"));
    // The data saved by the first run is back on the console, byte for byte.
    QCOMPARE(readAll(second.consoleFile(QStringLiteral("/BrenvikDATA"))), saved);
    QVERIFY(second.console.value("renamedModulePresent").toBool());
    // Nothing is left to offer, and the saved copy is still kept.
    QVERIFY(UpdateJournal::unfinished(journalDir(home)).isEmpty());
    QVERIFY(QFile::exists(kept));
}

void TestE2eInterrupted::declinedRunsPlainRescue()
{
    const SharedData data;
    const QString& home = data.home;
    const QString kept = cutOffUpdate(data);
    QVERIFY(!kept.isEmpty());

    UpdateScenario second(fastScale);
    data.use(second);
    second.sim.startInLoader = true;
    // The firmware that did not come up took the console's users' database with it.
    second.sim.usersDb = SimOptions::UsersDb::None;
    second.answers = {QMessageBox::No};
    QString why;
    QVERIFY2(second.run(runTimeoutMs, &why), qPrintable(why + "\n" + second.simLog()));
    // The user said no: the rescue runs as it always did, without the users' data, and the
    // journal stays for a later try.
    QVERIFY(second.sawBox("Restore Users Data"));
    QVERIFY(second.sawBox("Warning", "WARNING: Found Monitor in waiting state."));
    QVERIFY(second.applicationQuit);
    QVERIFY(!QFile::exists(second.consoleFile(QStringLiteral("/BrenvikDATA"))));
    QCOMPARE(UpdateJournal::unfinished(journalDir(home)).size(), 1);
    QVERIFY(QFile::exists(kept));
}

// The restore fails after the console's copy was removed: the next start, with the console in
// its application, offers the kept data and sends them back.
void TestE2eInterrupted::restoreFailedThenOfferedInApplication()
{
    const SharedData data;
    const QString& home = data.home;

    UpdateScenario first(fastScale);
    data.use(first);
    first.sim.cancelBlock = 1; // the console cancels the users' file it is being sent
    first.sim.faultTransfer = QStringLiteral("receive");
    first.settled = [](const UpdateScenario& run) { return run.sawBox("Users Data"); };
    QString why;
    QVERIFY2(first.run(runTimeoutMs, &why), qPrintable(why + "\n" + first.simLog()));
    QVERIFY(!first.console.value("usersDbPresent").toBool());
    QCOMPARE(first.keptCopies.size(), 1);
    const QString kept = first.keptCopies.first();
    const QByteArray saved = readAll(kept);
    QCOMPARE(UpdateJournal::unfinished(journalDir(home)).size(), 1);

    UpdateScenario second(fastScale);
    data.use(second);
    second.sim.usersDb = SimOptions::UsersDb::None; // what the failed restore left
    second.sim.version = second.sim.newVersion;      // and what the first run's image left
    second.answers = {QMessageBox::Yes};
    QVERIFY2(second.run(runTimeoutMs, &why), qPrintable(why + "\n" + second.simLog()));
    QVERIFY(second.sawBox("Restore Users Data", "BRV2403001234"));
    QVERIFY(second.sawBox("Restore Users Data", kept));
    QVERIFY(second.sawBox("Uploader", "Operations are successfully terminated!"));
    QVERIFY(second.applicationQuit);
    // No new firmware went out: only the restore ran, and the data are back byte for byte.
    QCOMPARE(second.console.value("imagesProgrammed").toInt(), 0);
    QCOMPARE(readAll(second.consoleFile(QStringLiteral("/BrenvikDATA"))), saved);
    QVERIFY(UpdateJournal::unfinished(journalDir(home)).isEmpty());
    QVERIFY(QFile::exists(kept));
}

// Cut off at the loader entry, before anything was erased: the console still runs its old
// firmware with its own users' data. Started again, the updater must not put the kept copy (taken
// for the new firmware) in their place: no question, or one whose "Yes" leaves them as they are.
void TestE2eInterrupted::cutOffBeforeErasingKeepsConsoleData()
{
    const SharedData data;
    UpdateScenario first(fastScale);
    data.use(first);
    first.sim.hangupAt = QStringLiteral("cmd:spi");
    // The updater goes (closed, or killed) right after the cable was pulled.
    first.settled = [](const UpdateScenario& run) {
        return run.consoleNow().value(QStringLiteral("hangups")).toInt() > 0;
    };
    QString why;
    QVERIFY2(first.run(runTimeoutMs, &why), qPrintable(why + "\n" + first.simLog()));
    QVERIFY(!first.console.value("sectorErased").toBool());
    QCOMPARE(first.keptCopies.size(), 1);
    const QString kept = first.keptCopies.first();
    const QByteArray own = first.usersDbAtStart;
    QVERIFY(own.startsWith("SQLite format 3"));

    UpdateScenario second(fastScale);
    data.use(second);
    second.answers = {QMessageBox::Yes};
    second.pressUpdate = false;
    QVERIFY2(second.run(runTimeoutMs, &why), qPrintable(why + "\n" + second.simLog()));
    QCOMPARE(second.usersDbAtStart, own);
    QVERIFY2(!second.simLog().contains(QLatin1String("shell: rm /BrenvikDATA")),
             "the console's own users' data were removed");
    QVERIFY2(readAll(second.consoleFile(QStringLiteral("/BrenvikDATA"))) == own,
             "the console's own users' data were replaced");
    QCOMPARE(second.console.value("imagesProgrammed").toInt(), 0);
    QVERIFY(QFile::exists(kept));
}

QTEST_MAIN(TestE2eInterrupted)
#include "tst_e2e_interrupted.moc"
