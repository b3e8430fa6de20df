// Whole updates as a user runs them: the real start-up window, updater page and worker against
// the simulated console on a pseudo-terminal, every box answered. Each test is one run; CTest
// starts each in a process of its own. The fixed waits are shortened through the time scale;
// tst_e2e_realtiming runs one whole update at the real timing.
#include "stdoutcapture.h"
#include "updatescenario.h"

#include "mainwindow.h"
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QProgressDialog>
#include <QPushButton>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

namespace
{
// The updater's waits and the console's delays at a tenth; the console still answers within
// every shortened wait.
const double fastScale = 0.15;
const int runTimeoutMs = 150000;

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Rows of a table of an SQLite file, -1 when the table is not there.
int tableRows(const QString& path, const QString& table)
{
    int rows = -1;
    {
        QSqlDatabase db =
            QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("check"));
        db.setDatabaseName(path);
        db.setConnectOptions(QStringLiteral("QSQLITE_OPEN_READONLY"));
        if (db.open()) {
            QSqlQuery q(db);
            if (q.exec(QStringLiteral("SELECT COUNT(*) FROM ") + table) && q.next())
                rows = q.value(0).toInt();
        }
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("check"));
    return rows;
}

// Index of the first status line equal to text, or -1.
int statusIndex(const UpdateScenario& s, const QString& text)
{
    return s.statuses.indexOf(text);
}
} // namespace

class TestE2eUpdate : public QObject
{
    Q_OBJECT

private slots:
    void normalUpdate();
    void migrationsLeftOut();
    void failingMigrationGoesOn();
    void rescueTicked();
    void consoleInLoader();
    void forcedPackage();
    void tooOld_data();
    void tooOld();
    void usersDbMissing();
    void usersDbEmpty();
    void usersDbCorrupt();
    void usersDbCutShort();
    void consoleSilentInImage();
    void consoleCancelsBeforeImage();
    void userAbortsRebootWait();
    void closingMidUpdateAsks();
    void updateClickedAgainDuringRun();
    void backAndYesDuringRun();

private:
    static void checkImageOnConsole(const UpdateScenario& s);
    static void checkConsoleUntouched(const UpdateScenario& s);
};

void TestE2eUpdate::checkImageOnConsole(const UpdateScenario& s)
{
    QCOMPARE(s.console.value("imagesProgrammed").toInt(), 1);
    QCOMPARE(s.console.value("version").toString(), s.sim.newVersion);
    QCOMPARE(readAll(s.consoleFile("/firmware.bin")), readAll(s.packageDir() + "/brenvik_fw.iso"));
}

void TestE2eUpdate::checkConsoleUntouched(const UpdateScenario& s)
{
    QCOMPARE(s.console.value("sectorErased").toBool(), false);
    QCOMPARE(s.console.value("resetCount").toInt(), 0);
    QCOMPARE(s.console.value("imagesProgrammed").toInt(), 0);
}

// The whole road: users' data saved, checked, migrated and kept; image sent; re-flash wait;
// data read again; users' data back; module renamed; the closing box and the end.
void TestE2eUpdate::normalUpdate()
{
    UpdateScenario s(fastScale);
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why + "\n" + s.simLog()));

    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!\nPlease wait for the "
                                 "completion of Device Update"));
    QCOMPARE(s.boxes.size(), 1);
    checkImageOnConsole(s);
    QVERIFY(s.console.value("renamedModulePresent").toBool());
    QVERIFY(!s.console.value("modulePresent").toBool());
    // As a real console does: the reset dropped the line (the console came back under the same
    // path) and the flash took the users' database with the old files.
    QVERIFY(s.console.value("replugs").toInt() >= 1);
    QVERIFY(s.console.value("filesWiped").toInt() >= 1);
    // The file as received is kept, byte for byte, beside the migrated one.
    QCOMPARE(s.originalCopies.size(), 1);
    QCOMPARE(readAll(s.originalCopies.first()), s.usersDbAtStart);

    // The users' database on the console is the migrated copy kept on this computer.
    QCOMPARE(s.keptCopies.size(), 1);
    QCOMPARE(QFileInfo(s.keptCopies.first()).fileName(), QStringLiteral("BrenvikDATA"));
    QVERIFY(QFileInfo(s.keptCopies.first()).dir().dirName().startsWith("BRV2403001234_"));
    const QByteArray restored = readAll(s.consoleFile("/BrenvikDATA"));
    QVERIFY(!restored.isEmpty());
    QCOMPARE(restored, readAll(s.keptCopies.first()));
    QCOMPARE(tableRows(s.consoleFile("/BrenvikDATA"), "e2e_migrated"), 1);
    QVERIFY(tableRows(s.consoleFile("/BrenvikDATA"), "users") > 0);

    // What the user saw: the steps in order, the bar through the phases of the progress table.
    QVERIFY(s.sawMessage("Transfer successfully terminated!"));
    const int saving = statusIndex(s, "Saving User Data... Please Wait");
    const int dfu = statusIndex(s, "Rebooted in DFU Mode...");
    const int loading = statusIndex(s, "File Loading...");
    QVERIFY(saving >= 0);
    QVERIFY(saving < dfu);
    QVERIFY(dfu < loading);

    // Saving (0-20), image (20-600), then reset to 0 by the result, the wait (600-800), the
    // restore (800-1000), and 0 again at its result.
    const QVector<int>& bar = s.barValues;
    const int imageTop = bar.indexOf(600);
    QVERIFY2(imageTop > 0, "the image phase never reached 60 %");
    QVERIFY2(bar.first() <= 20, "the first phase is the users' data save");
    for (int i = 1; i <= imageTop; ++i)
        QVERIFY2(bar[i] >= bar[i - 1], "the bar went back before the image was sent");
    const int firstReset = bar.indexOf(0, imageTop);
    QVERIFY(firstReset > imageTop);
    const int waitEnd = bar.indexOf(800, firstReset);
    QVERIFY2(waitEnd > firstReset, "the re-flash wait did not run to 80 %");
    for (int i = firstReset + 1; i <= waitEnd; ++i) {
        QVERIFY(bar[i] >= 600);
        QVERIFY(bar[i] >= bar[i - 1] || i == firstReset + 1);
    }
    QVERIFY(bar.indexOf(1000, waitEnd) > waitEnd);
    QCOMPARE(bar.last(), 0);
}

// The console's version is not below VChanged: the statements stay out.
void TestE2eUpdate::migrationsLeftOut()
{
    UpdateScenario s(fastScale);
    s.vChanged = QStringLiteral("020304"); // equal to the console's 20304
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    QCOMPARE(tableRows(s.consoleFile("/BrenvikDATA"), "e2e_migrated"), -1);
    QVERIFY(tableRows(s.consoleFile("/BrenvikDATA"), "users") > 0);
    QCOMPARE(s.keptCopies.size(), 1);
    QCOMPARE(readAll(s.consoleFile("/BrenvikDATA")), readAll(s.keptCopies.first()));
}

// A statement that fails is reported with SQLite's reason; the others still apply and the update
// goes on.
void TestE2eUpdate::failingMigrationGoesOn()
{
    UpdateScenario s(fastScale);
    s.queries = QStringList{QStringLiteral("CREATE TABLE e2e_migrated (step INTEGER)"),
                            QStringLiteral("UPDATE no_such_table SET a = 1"),
                            QStringLiteral("INSERT INTO e2e_migrated VALUES (3)")};
    QMutex mutex;
    QByteArray output;
    StdoutCapture capture([&](const QByteArray& bytes) {
        QMutexLocker lock(&mutex);
        output += bytes;
    });
    QVERIFY(capture.start());
    QString why;
    const bool ran = s.run(runTimeoutMs, &why);
    capture.stop();
    QVERIFY2(ran, qPrintable(why));
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    QCOMPARE(tableRows(s.consoleFile("/BrenvikDATA"), "e2e_migrated"), 1);
    QVERIFY(output.contains("Editing User Settings File.. Step 1\r\n"));
    QVERIFY(output.contains(
        "Editing User Settings File.. Step 2 failed: no such table: no_such_table"));
    QVERIFY(output.contains("Editing User Settings File.. Step 3\r\n"));
    QVERIFY(!output.contains("Step 1 failed"));
    QVERIFY(!output.contains("Step 3 failed"));
    // The user is told which statement failed, and where the untouched original is.
    QVERIFY(s.sawBox("Uploader", "UPDATE no_such_table SET a = 1"));
    QVERIFY(!s.sawBox("Uploader", "CREATE TABLE e2e_migrated"));
    QCOMPARE(s.originalCopies.size(), 1);
    QVERIFY(s.sawBox("Uploader", s.originalCopies.first()));
    QVERIFY(!s.usersDbAtStart.isEmpty());
    QCOMPARE(readAll(s.originalCopies.first()), s.usersDbAtStart);
}

// Rescue mode ticked: the warning, no users' data handled, the bar in the rescue table.
void TestE2eUpdate::rescueTicked()
{
    UpdateScenario s(fastScale);
    s.tickRescue = true;
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Warning", "WARNING: Enabling Rescue Mode WILL delete all Users Settings."));
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    checkImageOnConsole(s);
    QVERIFY(s.console.value("renamedModulePresent").toBool());
    QCOMPARE(s.console.value("usersDbReceived").toInt(), 0);
    QCOMPARE(s.console.value("filesSent").toInt(), 0);
    QCOMPARE(statusIndex(s, "Saving User Data... Please Wait"), -1);
    QVERIFY(s.keptCopies.isEmpty());
    // Rescue table: image 0-600, the wait 600-1000.
    QVERIFY(s.barValues.contains(1000));
    QVERIFY(!s.barValues.isEmpty());
}

// A console waiting in its loader at start: rescue forced, with its warning.
void TestE2eUpdate::consoleInLoader()
{
    UpdateScenario s(fastScale);
    s.sim.startInLoader = true;
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Warning", "WARNING: Found Monitor in waiting state."));
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    checkImageOnConsole(s);
    QCOMPARE(s.console.value("usersDbReceived").toInt(), 0);
    QVERIFY(s.keptCopies.isEmpty());
}

// Forced=YES: its warning at start, then a rescue update.
void TestE2eUpdate::forcedPackage()
{
    UpdateScenario s(fastScale);
    s.forced = QStringLiteral("YES");
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox(
        "Warning", "WARNING: For technical reasons this upgrade WILL delete all Users Settings."));
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    checkImageOnConsole(s);
    QCOMPARE(s.console.value("usersDbReceived").toInt(), 0);
    QCOMPARE(statusIndex(s, "Saving User Data... Please Wait"), -1);
}

void TestE2eUpdate::tooOld_data()
{
    QTest::addColumn<bool>("withStatements");
    QTest::newRow("package with statements") << true;
    // The limit must reach the worker also when there is nothing to migrate.
    QTest::newRow("package without statements") << false;
}

// A console at or below minorVersion: the version box, the end, and nothing changed.
void TestE2eUpdate::tooOld()
{
    QFETCH(bool, withStatements);
    UpdateScenario s(fastScale);
    if (!withStatements)
        s.queries.clear();
    s.sim.version = QStringLiteral("01000100"); // version 100
    s.minorVersion = QStringLiteral("000100");
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Version Error", "This Release is NOT Compatible with current Version."));
    checkConsoleUntouched(s);
    QVERIFY(s.console.value("usersDbPresent").toBool());
}

void TestE2eUpdate::usersDbMissing()
{
    UpdateScenario s(fastScale);
    s.sim.usersDb = SimOptions::UsersDb::None;
    s.settled = [](const UpdateScenario& run) { return run.sawBox("Error"); };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(!s.applicationQuit);
    QVERIFY(s.sawBox("Error", "User Settings File Not Found.\nPlease Repeat all the Procedure!"));
    checkConsoleUntouched(s);
    QVERIFY(s.keptCopies.isEmpty());
}

void TestE2eUpdate::usersDbEmpty()
{
    UpdateScenario s(fastScale);
    s.sim.usersDb = SimOptions::UsersDb::Empty;
    s.settled = [](const UpdateScenario& run) { return run.sawBox("Error"); };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.sawBox("Error", "User Settings File Not Found.\nPlease Repeat all the Procedure!"));
    checkConsoleUntouched(s);
    QVERIFY(s.keptCopies.isEmpty());
}

void TestE2eUpdate::usersDbCorrupt()
{
    UpdateScenario s(fastScale);
    s.sim.usersDb = SimOptions::UsersDb::Corrupt;
    s.settled = [](const UpdateScenario& run) { return run.sawBox("Error"); };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.sawBox("Error", "User Settings File Corrupted.\nPlease Repeat all the Procedure!"));
    checkConsoleUntouched(s);
    QVERIFY(s.console.value("usersDbPresent").toBool());
}

// The console stops sending its database half way: the short file counts as corrupted.
void TestE2eUpdate::usersDbCutShort()
{
    UpdateScenario s(fastScale);
    s.sim.silentAt = QStringLiteral("block:3");
    s.sim.faultTransfer = QStringLiteral("send");
    s.settled = [](const UpdateScenario& run) { return run.sawBox("Error"); };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.sawBox("Error", "User Settings File Corrupted.\nPlease Repeat all the Procedure!"));
    QCOMPARE(s.console.value("sectorErased").toBool(), false);
    QCOMPARE(s.console.value("imagesProgrammed").toInt(), 0);
}

// The loader falls silent in the middle of the image: the send gives up within its bound, the
// user is told, and told where the users' data are.
void TestE2eUpdate::consoleSilentInImage()
{
    UpdateScenario s(fastScale);
    s.sim.silentAt = QStringLiteral("block:200");
    s.sim.faultTransfer = QStringLiteral("loader");
    s.settled = [](const UpdateScenario& run) { return run.sawBox("Users Data"); };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(!s.applicationQuit);
    bool failed = false;
    for (const QString& m : s.resultMessages)
        failed = failed || m.startsWith("Transfer Failed with error ") ||
                 m == "Transfer Aborted by Device!";
    QVERIFY2(failed, qPrintable(s.resultMessages.join(" | ")));
    QCOMPARE(s.keptCopies.size(), 1);
    QVERIFY(s.sawBox("Users Data", s.keptCopies.first()));
    QCOMPARE(s.console.value("imagesProgrammed").toInt(), 0);
}

// The console's loader answers the first request with CAN CAN instead of "C": "Transfer Aborted
// by User" (the console's cancel, in the system's words), the image never sent, and the user
// told where the users' data are, since the console was already erased.
void TestE2eUpdate::consoleCancelsBeforeImage()
{
    UpdateScenario s(fastScale);
    // The tap relays one device: the line stays up across the reset here, which this case is
    // not about.
    s.sim.resetDropsLine = false;
    s.rewriteFromConsole = [](const QByteArray& chunk, const QByteArray& sent) {
        const int reset = sent.indexOf("reset\r\n");
        if (reset < 0 || sent.indexOf('\x06', reset) >= 0)
            return chunk; // not yet in the loader, or the cancel was acknowledged
        QByteArray out = chunk;
        out.replace('C', QByteArray("\x18\x18", 2));
        return out;
    };
    s.settled = [](const UpdateScenario& run) { return run.sawBox("Users Data"); };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(!s.applicationQuit);
    QVERIFY2(s.sawMessage("Transfer Aborted by User"), qPrintable(s.resultMessages.join(" | ")));
    QVERIFY(s.statuses.contains("Upload Canceled by Remote"));
    QCOMPARE(s.console.value("imagesProgrammed").toInt(), 0);
    QCOMPARE(s.keptCopies.size(), 1);
    QVERIFY(s.sawBox("Users Data", s.keptCopies.first()));
}

// Cancel during the re-flash wait: "No" resumes where the wait was, "Yes" ends the updater
// after telling where the users' data are.
void TestE2eUpdate::userAbortsRebootWait()
{
    UpdateScenario s(fastScale);
    s.answers = {QMessageBox::No, QMessageBox::Yes};
    int cancels = 0;
    int valueAtCancel = -1;
    int valueOnNewDialog = -1;
    s.duringRebootWait = [&](QProgressDialog* dialog) {
        if (dialog->property("e2eCancelled").toBool() || dialog->value() < 20000)
            return;
        if (cancels == 1 && valueOnNewDialog < 0)
            valueOnNewDialog = dialog->value();
        if (cancels == 1 && dialog->value() < 30000)
            return;
        if (cancels < 2) {
            ++cancels;
            dialog->setProperty("e2eCancelled", true);
            valueAtCancel = dialog->value();
            dialog->cancel();
        }
    };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(s.applicationQuit);
    QCOMPARE(cancels, 2);
    QVERIFY2(valueOnNewDialog >= 20000, "the new dialog did not resume at the time reached");
    QVERIFY(valueAtCancel >= 30000);
    int questions = 0;
    for (const ModalAnswerer::Seen& box : s.boxes)
        if (box.title == "Cancel" && box.text == "Are you sure you want to abort the procedure?")
            ++questions;
    QCOMPARE(questions, 2);
    QCOMPARE(s.keptCopies.size(), 1);
    QVERIFY(s.sawBox("Users Data", s.keptCopies.first()));
    QVERIFY(!s.sawBox("Uploader"));
}

// Closing the window while the image goes out asks the abort question; "No" lets the update
// run to its end.
void TestE2eUpdate::closingMidUpdateAsks()
{
    UpdateScenario s(fastScale);
    s.answers = {QMessageBox::No};
    bool tried = false;
    bool closed = true;
    s.whileUpdating = [&](QWidget* top) {
        if (tried || !s.statuses.contains("File Loading..."))
            return;
        tried = true;
        closed = top->close();
    };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why));
    QVERIFY(tried);
    QVERIFY(!closed);
    QCOMPARE(s.boxes.first().title, QStringLiteral("Cancel"));
    QCOMPARE(s.boxes.first().text, QStringLiteral("Are you sure you want to abort the procedure?"));
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    checkImageOnConsole(s);
    QCOMPARE(readAll(s.consoleFile("/BrenvikDATA")), readAll(s.keptCopies.value(0)));
}

// "Update" pressed again while the run goes on (the reconnections of the run, or a user at the
// button): nothing but the one update happens.
void TestE2eUpdate::updateClickedAgainDuringRun()
{
    UpdateScenario s(fastScale);
    int tries = 0;
    QWidget* top = nullptr;
    s.whileUpdating = [&](QWidget* t) {
        top = t;
        // Only what a user can reach: no modal dialog up.
        if (QApplication::activeModalWidget() || tries >= 200)
            return;
        for (QPushButton* b : t->findChildren<QPushButton*>())
            if (b->text() == QLatin1String("Update") && b->isVisible() && b->isEnabled()) {
                ++tries;
                b->click();
            }
        // The page's own slot, as if the button had been enabled by a reconnection.
        if (MainWindow* page = t->findChild<MainWindow*>()) {
            ++tries;
            page->firmwareUpload();
        }
    };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why + "\n" + s.simLog()));
    QVERIFY(tries > 0);
    QVERIFY(s.applicationQuit);
    QVERIFY(s.sawBox("Uploader", "Operations are successfully terminated!"));
    QCOMPARE(s.boxes.size(), 1);
    checkImageOnConsole(s);
    QCOMPARE(s.console.value("resetCount").toInt(), 2); // into the loader, and at the end
    QCOMPARE(s.console.value("filesSent").toInt(), 1);
    QCOMPARE(s.keptCopies.size(), 1);
    QCOMPARE(readAll(s.consoleFile("/BrenvikDATA")), readAll(s.keptCopies.first()));
}

// "Back" while the image goes out: the abort question; "Yes" tells where the users' data are,
// and what the worker still reports of that run starts nothing.
void TestE2eUpdate::backAndYesDuringRun()
{
    UpdateScenario s(fastScale);
    s.answers = {QMessageBox::Yes};
    bool pressed = false;
    bool rebootWaitShown = false;
    s.duringRebootWait = [&](QProgressDialog*) { rebootWaitShown = true; };
    s.whileUpdating = [&](QWidget* top) {
        if (pressed || !s.statuses.contains("File Loading..."))
            return;
        for (QPushButton* b : top->findChildren<QPushButton*>())
            if (b->text() == QLatin1String("Back") && b->isVisible()) {
                pressed = true;
                b->click();
            }
    };
    // Ends once the worker has finished the abandoned send and the line went quiet.
    QElapsedTimer sinceEnd;
    s.settled = [&sinceEnd](const UpdateScenario& run) {
        if (!sinceEnd.isValid() && run.sawBox("Users Data") &&
            run.resultMessages.contains(QStringLiteral("Serial Port Diconnected")))
            sinceEnd.start();
        return sinceEnd.isValid() && sinceEnd.elapsed() > 3000;
    };
    QString why;
    QVERIFY2(s.run(runTimeoutMs, &why), qPrintable(why + "\n" + s.simLog()));
    QVERIFY(pressed);
    QVERIFY(!s.applicationQuit);
    QCOMPARE(s.boxes.first().title, QStringLiteral("Cancel"));
    QCOMPARE(s.boxes.first().text, QStringLiteral("Are you sure you want to abort the procedure?"));
    QCOMPARE(s.keptCopies.size(), 1);
    QVERIFY(s.sawBox("Users Data", s.keptCopies.first()));
    QVERIFY(!rebootWaitShown);
    QVERIFY(!s.sawBox("Uploader"));
    QCOMPARE(s.console.value("filesSent").toInt(), 1);
    QCOMPARE(s.console.value("usersDbReceived").toInt(), 0);
}

QTEST_MAIN(TestE2eUpdate)
#include "tst_e2e_update.moc"
