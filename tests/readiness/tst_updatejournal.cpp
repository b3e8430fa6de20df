// UpdateJournal: written whole at every change, read back the same, and the finder that
// decides what can be put back on a console found in its loader.
#include "updatejournal.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

class TestUpdateJournal : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void roundTripThroughPhases();
    void writeLeavesNoTemporaryFiles();
    void failedWriteIsReported();
    void unreadableJournalsAreIgnored_data();
    void unreadableJournalsAreIgnored();
    void finderPicksByConsole_data();
    void finderPicksByConsole();
    void finderFallsBackToKeptUsersFile();
    void finishedOrWithoutUsersFileIsNotRescuable();
    void newRunLeavesOlderOfSameConsoleUnfinished();
    void resumeCarriesOn_data();
    void resumeCarriesOn();

private:
    QString makeUsersFile(const QString& name, const QByteArray& contents = "SQLite format 3");
    UpdateJournal::Identity identity(const QString& serial);
    QScopedPointer<QTemporaryDir> tmp;
    QString journals;
    QString users;
};

void TestUpdateJournal::init()
{
    tmp.reset(new QTemporaryDir);
    QVERIFY(tmp->isValid());
    journals = tmp->filePath(QStringLiteral("journal"));
    users = tmp->filePath(QStringLiteral("users-data"));
    QVERIFY(QDir().mkpath(users));
}

QString TestUpdateJournal::makeUsersFile(const QString& name, const QByteArray& contents)
{
    const QString path = users + QLatin1Char('/') + name;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(contents);
    return path;
}

UpdateJournal::Identity TestUpdateJournal::identity(const QString& serial)
{
    UpdateJournal::Identity id;
    id.serialNumber = serial;
    id.firmwareVersion = QStringLiteral("v1.2.3");
    id.articleNumber = QStringLiteral("A-77");
    id.deviceName = QStringLiteral("Brenvik Q");
    id.monitorId = QStringLiteral("M9");
    return id;
}

void TestUpdateJournal::roundTripThroughPhases()
{
    UpdateJournal j(journals);
    QVERIFY(!j.setPhase(UpdateJournal::ImageSent)); // nothing begun
    QVERIFY(j.begin(identity(QStringLiteral("SN 42/7"))));
    QVERIFY(j.isOpen());
    const QString path = j.entry().path;
    QVERIFY(path.startsWith(journals + QLatin1Char('/')));
    QVERIFY(!QFileInfo(path).fileName().contains(QLatin1Char(' ')));

    const QString usersFile = makeUsersFile(QStringLiteral("BrenvikDATA_SN_42_7_20260101-101010"));
    const QList<UpdateJournal::Phase> phases = {UpdateJournal::ImageSending,
                                                UpdateJournal::ImageSent, UpdateJournal::Restoring};
    QVERIFY(j.setUsersFile(usersFile));
    UpdateJournal::Entry e;
    QVERIFY(UpdateJournal::read(path, &e));
    QCOMPARE(e.phase, UpdateJournal::UsersDataSaved);
    QCOMPARE(e.usersFile, usersFile);
    for (UpdateJournal::Phase p : phases) {
        QVERIFY(j.setPhase(p));
        QVERIFY(UpdateJournal::read(path, &e)); // on disk at once
        QCOMPARE(e.phase, p);
    }
    QCOMPARE(e.identity.serialNumber, QStringLiteral("SN 42/7"));
    QCOMPARE(e.identity.firmwareVersion, QStringLiteral("v1.2.3"));
    QCOMPARE(e.identity.articleNumber, QStringLiteral("A-77"));
    QCOMPARE(e.identity.deviceName, QStringLiteral("Brenvik Q"));
    QCOMPARE(e.identity.monitorId, QStringLiteral("M9"));
    QVERIFY(e.started.isValid());
    QVERIFY(e.updated >= e.started);
    QVERIFY(!e.isFinished());

    QVERIFY(j.finish(true));
    QVERIFY(!j.isOpen());
    QVERIFY(UpdateJournal::read(path, &e));
    QVERIFY(e.isFinished());
    QVERIFY(e.succeeded);
    QCOMPARE(e.usersFile, usersFile); // the record stays
    QVERIFY(!j.setPhase(UpdateJournal::Restoring));
}

void TestUpdateJournal::writeLeavesNoTemporaryFiles()
{
    UpdateJournal j(journals);
    QVERIFY(j.begin(identity(QStringLiteral("1"))));
    for (int i = 0; i < 5; ++i)
        QVERIFY(j.setPhase(UpdateJournal::ImageSending));
    QCOMPARE(QDir(journals).entryList(QDir::Files | QDir::Hidden),
             QStringList{QFileInfo(j.entry().path).fileName()});
}

void TestUpdateJournal::failedWriteIsReported()
{
    // A file where the folder should be: nothing can be written, and the caller is told.
    QFile blocker(journals);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    UpdateJournal j(journals);
    QVERIFY(!j.begin(identity(QStringLiteral("1"))));
    QVERIFY(!j.errorString().isEmpty());
}

void TestUpdateJournal::unreadableJournalsAreIgnored_data()
{
    QTest::addColumn<QByteArray>("contents");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("not json") << QByteArray("phase=started\n");
    QTest::newRow("array") << QByteArray("[1,2]");
    QTest::newRow("unknown phase") << QByteArray(R"({"phase":"half-way","usersFile":"X"})");
    QTest::newRow("truncated") << QByteArray(R"({"phase":"image-sent","usersFile":")");
    QTest::newRow("huge") << QByteArray(100 * 1024, ' ');
}

void TestUpdateJournal::unreadableJournalsAreIgnored()
{
    QFETCH(QByteArray, contents);
    QVERIFY(QDir().mkpath(journals));
    const QString usersFile = makeUsersFile(QStringLiteral("BrenvikDATA_7_x"));
    QByteArray text = contents;
    text.replace("\"X\"", "\"" + usersFile.toUtf8() + "\"");
    QFile f(journals + QStringLiteral("/bad.journal"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(text);
    f.close();
    UpdateJournal::Entry e;
    QVERIFY(!UpdateJournal::read(f.fileName(), &e));
    QVERIFY(UpdateJournal::unfinished(journals).isEmpty());
    QVERIFY(!UpdateJournal::findRescuable(QString(), users, &e, journals));
}

void TestUpdateJournal::finderPicksByConsole_data()
{
    QTest::addColumn<QString>("serial");
    QTest::addColumn<QString>("expected"); // serial of the journal found, empty for none
    QTest::newRow("known console") << QStringLiteral("AAA") << QStringLiteral("AAA");
    QTest::newRow("other console") << QStringLiteral("BBB") << QStringLiteral("BBB");
    QTest::newRow("in loader: newest") << QString() << QStringLiteral("BBB");
    QTest::newRow("stranger") << QStringLiteral("ZZZ") << QString();
}

void TestUpdateJournal::finderPicksByConsole()
{
    QFETCH(QString, serial);
    QFETCH(QString, expected);
    UpdateJournal a(journals);
    QVERIFY(a.begin(identity(QStringLiteral("AAA"))));
    QVERIFY(a.setUsersFile(makeUsersFile(QStringLiteral("BrenvikDATA_AAA_1"))));
    QVERIFY(a.setPhase(UpdateJournal::ImageSent));
    QTest::qWait(20); // distinct times
    UpdateJournal b(journals);
    QVERIFY(b.begin(identity(QStringLiteral("BBB"))));
    QVERIFY(b.setUsersFile(makeUsersFile(QStringLiteral("BrenvikDATA_BBB_1"))));
    QCOMPARE(UpdateJournal::unfinished(journals).size(), 2);
    QCOMPARE(UpdateJournal::unfinished(journals).first().identity.serialNumber,
             QStringLiteral("BBB"));

    UpdateJournal::Entry found;
    const bool any = UpdateJournal::findRescuable(serial, QString(), &found, journals);
    QCOMPARE(any, !expected.isEmpty());
    if (any) {
        QCOMPARE(found.identity.serialNumber, expected);
        QVERIFY(found.usersFile.endsWith(QStringLiteral("BrenvikDATA_%1_1").arg(expected)));
    }
}

void TestUpdateJournal::finderFallsBackToKeptUsersFile()
{
    // Kept copies as the users' data store lays them out: <serial>_<time>/<file>.
    makeUsersFile(QStringLiteral("CCC_20250101-000000/BrenvikDATA"), "old");
    const QString newer = makeUsersFile(QStringLiteral("CCC_20250102-000000/BrenvikDATA"), "new");
    makeUsersFile(QStringLiteral("CCC_20250103-000000/BrenvikDATA"), ""); // empty: useless
    makeUsersFile(QStringLiteral("CCCD_20250104-000000/BrenvikDATA"), "another console");
    // A run that stopped after the migration broke the file kept only the file as received:
    // the console still has its data, and the unmigrated file must never go back.
    makeUsersFile(QStringLiteral("CCC_20250105-000000/BrenvikDATA.original"), "unmigrated");

    UpdateJournal::Entry found;
    QVERIFY(UpdateJournal::findRescuable(QStringLiteral("CCC"), users, &found, journals));
    QCOMPARE(found.usersFile, QFileInfo(newer).absoluteFilePath());
    QCOMPARE(found.identity.serialNumber, QStringLiteral("CCC"));
    QVERIFY(found.path.isEmpty()); // no journal behind it
    // Without the console's serial number a kept file cannot be told apart from another
    // console's, so nothing is offered.
    QVERIFY(!UpdateJournal::findRescuable(QString(), users, &found, journals));
}

void TestUpdateJournal::finishedOrWithoutUsersFileIsNotRescuable()
{
    UpdateJournal done(journals);
    QVERIFY(done.begin(identity(QStringLiteral("D1"))));
    QVERIFY(done.setUsersFile(makeUsersFile(QStringLiteral("BrenvikDATA_D1_1"))));
    QVERIFY(done.finish(false));

    UpdateJournal early(journals); // cut off before the users' data was saved
    QVERIFY(early.begin(identity(QStringLiteral("D2"))));

    UpdateJournal lost(journals); // its users' file was deleted since
    QVERIFY(lost.begin(identity(QStringLiteral("D3"))));
    const QString gone = makeUsersFile(QStringLiteral("BrenvikDATA_D3_1"));
    QVERIFY(lost.setUsersFile(gone));
    QVERIFY(QFile::remove(gone));

    UpdateJournal back(journals); // its users' data went back; only the end was not reached
    QVERIFY(back.begin(identity(QStringLiteral("D4"))));
    QVERIFY(back.setUsersFile(makeUsersFile(QStringLiteral("BrenvikDATA_D4_1"))));
    QVERIFY(back.setPhase(UpdateJournal::Restored));

    QVERIFY(UpdateJournal::unfinished(journals).isEmpty());
    UpdateJournal::Entry found;
    QVERIFY(!UpdateJournal::findRescuable(QString(), QString(), &found, journals));
}

void TestUpdateJournal::newRunLeavesOlderOfSameConsoleUnfinished()
{
    UpdateJournal old(journals);
    QVERIFY(old.begin(identity(QStringLiteral("E1"))));
    QVERIFY(old.setUsersFile(makeUsersFile(QStringLiteral("BrenvikDATA_E1_1"))));
    UpdateJournal other(journals);
    QVERIFY(other.begin(identity(QStringLiteral("E2"))));
    QVERIFY(other.setUsersFile(makeUsersFile(QStringLiteral("BrenvikDATA_E2_1"))));
    QTest::qWait(5);

    // The same console updated again: its old journal still names data that may not be on the
    // console, so only a restore or the user's refusal may end it.
    UpdateJournal again(journals);
    QVERIFY(again.begin(identity(QStringLiteral("E1"))));
    UpdateJournal::Entry e;
    QVERIFY(UpdateJournal::read(old.entry().path, &e));
    QVERIFY(!e.isFinished());
    QVERIFY(UpdateJournal::findUnfinished(QStringLiteral("E1"), &e, journals));
    QCOMPARE(e.path, old.entry().path);
    QCOMPARE(UpdateJournal::unfinished(journals).size(), 2);
    // Never another console's journal, never a kept file without a journal.
    QVERIFY(!UpdateJournal::findUnfinished(QStringLiteral("E3"), &e, journals));
    QVERIFY(!UpdateJournal::findUnfinished(QString(), &e, journals));
}

void TestUpdateJournal::resumeCarriesOn_data()
{
    QTest::addColumn<bool>("fromJournal");
    QTest::newRow("journal") << true;
    QTest::newRow("kept users file only") << false;
}

void TestUpdateJournal::resumeCarriesOn()
{
    QFETCH(bool, fromJournal);
    const QString usersFile = makeUsersFile(QStringLiteral("F1_20250101-000000/BrenvikDATA"));
    if (fromJournal) {
        UpdateJournal cut(journals);
        QVERIFY(cut.begin(identity(QStringLiteral("F1"))));
        QVERIFY(cut.setUsersFile(usersFile));
        QVERIFY(cut.setPhase(UpdateJournal::ImageSent));
    }
    UpdateJournal::Entry found;
    QVERIFY(UpdateJournal::findRescuable(fromJournal ? QString() : QStringLiteral("F1"), users,
                                         &found, journals));

    UpdateJournal rescue(journals);
    QVERIFY(rescue.resume(found));
    QCOMPARE(rescue.entry().usersFile, usersFile);
    QVERIFY(rescue.setPhase(UpdateJournal::Restoring));
    QVERIFY(rescue.finish(true));
    // One journal in the end, finished: nothing left to offer.
    QCOMPARE(QDir(journals).entryList(QDir::Files).size(), 1);
    QVERIFY(UpdateJournal::unfinished(journals).isEmpty());
    UpdateJournal::Entry e;
    QVERIFY(UpdateJournal::read(rescue.entry().path, &e));
    QVERIFY(e.succeeded);
    QCOMPARE(e.identity.serialNumber, QStringLiteral("F1"));
}

QTEST_GUILESS_MAIN(TestUpdateJournal)
#include "tst_updatejournal.moc"
