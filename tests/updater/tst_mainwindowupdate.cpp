// The window's side of an update run: the progress table, the result table with its messages
// and boxes, the re-flash wait and its abort question, rescue mode, and closing mid-update.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "../common/modalanswerer.h"
#include "mainwindowtestaccess.h"
#include "testpackage.h"
#include "timescale.h"
#include "usersdatastore.h"

#include <QApplication>
#include <QProgressDialog>
#include <QtTest>

class TestMainWindowUpdate : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void overallPercent_data();
    void overallPercent();
    void transferProgressUsesModeAndPhase();

    void results_data();
    void results();
    void failureAfterKeepTellsWhere();
    void versionErrorQuits_data();
    void versionErrorQuits();

    void rebootWaitRunsBar_data();
    void rebootWaitRunsBar();
    void rebootWaitNoResumesYesQuits();

    void setUserSettings_data();
    void setUserSettings();
    void enableUpdate();
    void rescueMode();
    void closeDuringUpdateAsks();

private:
    // Runs f inside the application's event loop; true when the application was asked to quit
    // before timeoutMs.
    bool quitsWithin(const std::function<void()>& f, int timeoutMs);

    TestPackage* package = nullptr;
    MainWindow* window = nullptr;
    ModalAnswerer* answerer = nullptr;
};

void TestMainWindowUpdate::initTestCase()
{
    // The 50 s wait becomes half a second.
    TimeScale::setFactor(0.01);
}

void TestMainWindowUpdate::init()
{
    package = new TestPackage;
    answerer = new ModalAnswerer(QMessageBox::Ok);
    window = new MainWindow;
    window->show();
}

void TestMainWindowUpdate::cleanup()
{
    delete window;
    delete answerer;
    delete package;
}

bool TestMainWindowUpdate::quitsWithin(const std::function<void()>& f, int timeoutMs)
{
    QTimer::singleShot(0, f);
    QTimer::singleShot(timeoutMs, [] { QCoreApplication::exit(99); });
    return QApplication::exec() == 0;
}

void TestMainWindowUpdate::overallPercent_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("phase");
    QTest::addColumn<int>("percent");
    QTest::addColumn<int>("overall");
    QTest::newRow("keep, saving, 0") << 5 << 0 << 0 << 0;
    QTest::newRow("keep, saving, 49") << 5 << 1 << 49 << 0;
    QTest::newRow("keep, saving, 50") << 5 << 1 << 50 << 1;
    QTest::newRow("keep, saving, 100") << 5 << 1 << 100 << 2;
    QTest::newRow("keep, image, 0") << 5 << 2 << 0 << 2;
    QTest::newRow("keep, image, 50") << 5 << 2 << 50 << 31;
    QTest::newRow("keep, image, 100") << 5 << 2 << 100 << 60;
    QTest::newRow("keep, wait, 0") << 5 << 3 << 0 << 60;
    QTest::newRow("keep, wait, 99") << 5 << 3 << 99 << 79;
    QTest::newRow("keep, wait, 100") << 5 << 3 << 100 << 80;
    QTest::newRow("keep, restore, 33") << 5 << 4 << 33 << 86;
    QTest::newRow("keep, restore, 100") << 5 << 4 << 100 << 100;
    QTest::newRow("lose, image, 33") << 3 << 1 << 33 << 19;
    QTest::newRow("lose, image, 100") << 3 << 2 << 100 << 60;
    QTest::newRow("lose, wait, 0") << 3 << 3 << 0 << 60;
    QTest::newRow("lose, wait, 57") << 3 << 3 << 57 << 82;
    QTest::newRow("lose, after, 100") << 3 << 4 << 100 << 100;
}

void TestMainWindowUpdate::overallPercent()
{
    QFETCH(int, mode);
    QFETCH(int, phase);
    QFETCH(int, percent);
    QFETCH(int, overall);
    QCOMPARE(MainWindow::overallPercent(UpdateMode(mode), UpdatePhase(phase), percent), overall);
}

void TestMainWindowUpdate::transferProgressUsesModeAndPhase()
{
    MainWindowTestAccess access(window);
    access.setUpdateMode(5);
    access.runAt(2);
    QMetaObject::invokeMethod(window, "transferProgress", Q_ARG(int, 50));
    QCOMPARE(access.ui()->firmwareBar->value(), 310);
    access.setUpdateMode(3);
    QMetaObject::invokeMethod(window, "transferProgress", Q_ARG(int, 50));
    QCOMPARE(access.ui()->firmwareBar->value(), 300);
}

void TestMainWindowUpdate::results_data()
{
    QTest::addColumn<int>("res");
    QTest::addColumn<QString>("message"); // empty: the label keeps its plain text
    QTest::addColumn<bool>("green");
    QTest::addColumn<bool>("barReset");
    QTest::addColumn<QString>("boxTitle");
    QTest::addColumn<QString>("boxText");

    QTest::newRow("7") << 7 << "Transfer Failed with error 7" << false << false << ""
                       << "";
    QTest::newRow("255") << 255 << "Transfer Failed with error 255" << false << false << ""
                         << "";
    QTest::newRow("-1") << -1 << "Transfer Aborted by Device!" << false << true << ""
                        << "";
    QTest::newRow("-2") << -2 << "Transfer Aborted by Device!" << false << true << ""
                        << "";
    QTest::newRow("-3") << -3 << "Transfer Aborted by User" << false << true << ""
                        << "";
    QTest::newRow("-12") << -12 << "" << false << false << "Error"
                         << "User Settings File Not Found.\nPlease Repeat all the Procedure!";
    QTest::newRow("-13") << -13 << "" << false << false << "Error"
                         << "User Settings File Corrupted.\nPlease Repeat all the Procedure!";
    QTest::newRow("-15") << -15 << "Transfer Failed: the Device did not answer" << false << true
                         << ""
                         << "";
    QTest::newRow("-16") << -16 << "" << false << false << "Error"
                         << "User Settings File could not be saved on this computer.";
    QTest::newRow("-17") << -17 << "" << false << false << "Error"
                         << "The Device did not restart after the Update.";
    QTest::newRow("-18") << -18 << "" << false << false << "Error"
                         << "The serial number of the Device could not be read.";
    QTest::newRow("-19") << -19 << "" << false << false << "Error"
                         << "The Users Settings and Data did not survive their update";
    QTest::newRow("-20") << -20 << "" << false << false << "Error"
                         << "The firmware version of the Device could not be read.";
    QTest::newRow("-21") << -21 << "" << false << false << "Error"
                         << "The Device did not come back after its restart.";
    QTest::newRow("-22") << -22 << "" << false << false << "Error"
                         << "The Users Settings and Data could not be received";
    QTest::newRow("-8") << -8 << "" << false << false << "Error"
                        << "The firmware image could not be found.";
    QTest::newRow("-9") << -9 << "" << false << false << "Error"
                        << "The firmware image could not be read.";
    QTest::newRow("-23") << -23 << "" << false << false << "Error"
                         << "The Update was stopped before the Device was changed.";
    QTest::newRow("-99") << -99 << "Transfer Aborted by Device!" << false << true << ""
                         << "";
}

void TestMainWindowUpdate::results()
{
    QFETCH(int, res);
    QFETCH(QString, message);
    QFETCH(bool, green);
    QFETCH(bool, barReset);
    QFETCH(QString, boxTitle);
    QFETCH(QString, boxText);
    MainWindowTestAccess access(window);
    access.ui()->firmwareBar->setValue(420);
    access.runAt(2);
    access.labelHoldTicks() = 0;
    QSignalSpy requests(window, &MainWindow::renameBLE_File);
    QSignalSpy finished(window->updateController(), &UpdateController::finished);

    QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, res));

    if (message.isEmpty()) {
        // No result message (the tick may have put back the plain text while the box was up).
        QCOMPARE(access.labelHoldTicks(), 0);
        QVERIFY(!window->connectionLabel->text().startsWith("Transfer"));
    } else {
        QCOMPARE(window->connectionLabel->text(), message);
        QCOMPARE(window->connectionLabel->styleSheet().contains("lightgreen"), green);
        QCOMPARE(access.labelHoldTicks(), 80);
    }
    QCOMPARE(access.ui()->firmwareBar->value(), barReset ? 0 : 420);
    if (boxTitle.isEmpty()) {
        QCOMPARE(answerer->count(), 0);
    } else {
        QCOMPARE(answerer->count(), 1);
        QCOMPARE(answerer->last().title, boxTitle);
        QVERIFY2(answerer->last().text.startsWith(boxText), qPrintable(answerer->last().text));
    }
    // A failure ends the run where it is, once.
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().first().value<UpdateResult>().code, res);
    QVERIFY(!window->updateController()->isRunning());
    QCOMPARE(requests.count(), 0);
}

void TestMainWindowUpdate::failureAfterKeepTellsWhere()
{
    MainWindowTestAccess access(window);
    QTemporaryDir dir;
    QFile source(dir.filePath("BrenvikDATA"));
    QVERIFY(source.open(QIODevice::WriteOnly));
    source.write("users");
    source.close();
    const QString kept = UsersDataStore::keep(source.fileName(), QStringLiteral("SN1"));
    QVERIFY(!kept.isEmpty());

    // The worker's temporary copy: no word of a kept copy.
    access.runAt(2, source.fileName());
    QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, -3));
    QCOMPARE(answerer->count(), 0);

    for (int res : {-3, 12, -2, -12, -17}) {
        answerer->clear();
        access.runAt(4, kept);
        QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, res));
        QCOMPARE(answerer->last().title, QStringLiteral("Users Data"));
        QVERIFY(answerer->last().text.contains(kept));
    }
    // Success says nothing of it, and the copy is never removed.
    answerer->clear();
    access.runAt(4, kept);
    QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, -10));
    QCOMPARE(answerer->count(), 0);
    QVERIFY(QFile::exists(kept));
    QDir(QFileInfo(kept).path()).removeRecursively();
}

void TestMainWindowUpdate::versionErrorQuits_data()
{
    QTest::addColumn<bool>("fromResult");
    QTest::newRow("-14") << true;
    QTest::newRow("verCompErrorSlot") << false;
}

void TestMainWindowUpdate::versionErrorQuits()
{
    QFETCH(bool, fromResult);
    const bool quit = quitsWithin(
        [this, fromResult] {
            if (fromResult) {
                MainWindowTestAccess(window).runAt(1);
                QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, -14));
            } else
                window->verCompErrorSlot();
        },
        5000);
    QVERIFY(quit);
    QCOMPARE(answerer->count(), 1);
    QCOMPARE(answerer->last().title, QStringLiteral("Version Error"));
    QCOMPARE(answerer->last().text, QStringLiteral("This Release is NOT Compatible with current "
                                                   "Version.\nPlease Upgrade Q-Solenza with a "
                                                   "Previous Version"));
}

void TestMainWindowUpdate::rebootWaitRunsBar_data()
{
    QTest::addColumn<int>("mode");
    QTest::addColumn<int>("top");
    QTest::newRow("keep settings") << 5 << 800;
    QTest::newRow("rescue") << 3 << 1000;
}

void TestMainWindowUpdate::rebootWaitRunsBar()
{
    QFETCH(int, mode);
    QFETCH(int, top);
    MainWindowTestAccess access(window);
    access.setUpdateMode(mode);
    access.runAt(2);
    access.ui()->firmwareBar->setValue(420);
    QList<int> values;
    connect(access.ui()->firmwareBar, &QProgressBar::valueChanged, this,
            [&](int v) { values << v; });
    QSignalSpy asked(window, &MainWindow::getUpdatedDeviceData);
    QSignalSpy connectAsked(window, &MainWindow::ySerialConnect);

    QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, 0));

    QCOMPARE(window->connectionLabel->text(), QStringLiteral("Transfer successfully terminated!"));
    // The wait runs on the run's clock while the event loop turns.
    QTRY_COMPARE_WITH_TIMEOUT(asked.count(), 1, 5000);
    QCOMPARE(values.first(), 0);
    QCOMPARE(values.at(1), 600);
    QCOMPARE(values.last(), top);
    for (int i = 2; i < values.size(); ++i)
        QVERIFY(values[i] >= values[i - 1]);
    QCOMPARE(access.updatePhase(), 4);
    QCOMPARE(asked.count(), 1);
    QCOMPARE(connectAsked.count(), 1);
}

void TestMainWindowUpdate::rebootWaitNoResumesYesQuits()
{
    TimeScale::setFactor(0.04); // two seconds
    MainWindowTestAccess access(window);
    access.runAt(2);
    answerer->enqueue(QMessageBox::No);
    answerer->enqueue(QMessageBox::Yes);
    int cancels = 0;
    int resumedAt = -1;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        auto* dialog = qobject_cast<QProgressDialog*>(QApplication::activeModalWidget());
        if (!dialog || dialog->property("cancelled").toBool())
            return;
        QCOMPARE(dialog->labelText(), QStringLiteral("Firmware Update in progress..."));
        QCOMPARE(dialog->maximum(), 50000);
        if (cancels == 1 && resumedAt < 0)
            resumedAt = dialog->value();
        if (dialog->value() >= 15000 * (cancels + 1)) {
            dialog->setProperty("cancelled", true);
            ++cancels;
            dialog->cancel();
        }
    });
    poll.start(5);
    QSignalSpy asked(window, &MainWindow::getUpdatedDeviceData);
    const bool quit = quitsWithin(
        [this] { QMetaObject::invokeMethod(window, "yModemResult", Q_ARG(int, 0)); }, 20000);
    TimeScale::setFactor(0.01);
    QVERIFY(quit);
    QCOMPARE(cancels, 2);
    QVERIFY2(resumedAt >= 15000, qPrintable(QString::number(resumedAt)));
    int questions = 0;
    for (const ModalAnswerer::Seen& box : answerer->seen) {
        if (box.title != QLatin1String("Cancel"))
            continue; // the reconnect after the wait may already have reported
        ++questions;
        QCOMPARE(box.text, QStringLiteral("Are you sure you want to abort the procedure?"));
        QCOMPARE(box.buttons, QMessageBox::Yes | QMessageBox::No);
    }
    QCOMPARE(questions, 2);
    // The run stopped: nothing more goes to the console before the application ends.
    QCOMPARE(asked.count(), 0);
}

void TestMainWindowUpdate::setUserSettings_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("sent");
    QTest::newRow("empty") << "" << false;
    QTest::newRow("other name") << "/tmp/usersdb" << false;
    QTest::newRow("lower case") << "/tmp/brenvikdata" << false;
    QTest::newRow("users file") << "/tmp/x/BrenvikDATA" << true;
}

void TestMainWindowUpdate::setUserSettings()
{
    QFETCH(QString, path);
    QFETCH(bool, sent);
    MainWindowTestAccess access(window);
    access.runAt(4, path);
    QSignalSpy transmit(window, &MainWindow::yTransmitUserSettings);
    QSignalSpy connectAsked(window, &MainWindow::ySerialConnect);
    window->setUserSettingsSlot();
    QCOMPARE(transmit.count(), sent ? 1 : 0);
    QCOMPARE(connectAsked.count(), sent ? 1 : 0);
    if (sent) {
        QCOMPARE(transmit.first().first().toString(), path);
        QCOMPARE(answerer->count(), 0);
    } else {
        QCOMPARE(answerer->count(), 1);
        QCOMPARE(answerer->last().title, QStringLiteral("Error"));
        QCOMPARE(answerer->last().text, QStringLiteral("User Settings File Not Found"));
    }
}

void TestMainWindowUpdate::enableUpdate()
{
    MainWindowTestAccess access(window);
    QSignalSpy active(window, &MainWindow::activeUpdateSignal);
    QSignalSpy preserve(window, &MainWindow::preserveSettingsMode);

    window->enableUpdateSlot(true);
    QCOMPARE(active.count(), 1);
    QCOMPARE(preserve.count(), 0);
    QCOMPARE(answerer->count(), 0);
    QCOMPARE(access.updateMode(), 5);

    window->enableUpdateSlot(false);
    QCOMPARE(active.count(), 2);
    QCOMPARE(preserve.count(), 1);
    QCOMPARE(preserve.first().first().toBool(), false);
    QCOMPARE(access.updateMode(), 3);
    QVERIFY(access.ui()->rescueMode->isChecked());
    QVERIFY(!access.ui()->rescueMode->isEnabled());
    QCOMPARE(answerer->last().title, QStringLiteral("Warning"));
    QVERIFY(answerer->last().text.startsWith("WARNING: Found Monitor in waiting state.\n"));
}

void TestMainWindowUpdate::rescueMode()
{
    MainWindowTestAccess access(window);
    QSignalSpy preserve(window, &MainWindow::preserveSettingsMode);
    QCheckBox* box = access.ui()->rescueMode;
    box->setEnabled(true);

    box->click(); // ticked
    QCOMPARE(access.updateMode(), 3);
    QCOMPARE(answerer->count(), 1);
    QCOMPARE(
        answerer->last().text,
        QStringLiteral("WARNING: Enabling Rescue Mode WILL delete all Users Settings.       \n "
                       "Check this Box if you have to Rescue Device from a failed Update.    "
                       "\n Please see instruction manual for details. "));
    box->click(); // unticked: no box
    QCOMPARE(access.updateMode(), 5);
    QCOMPARE(answerer->count(), 1);
    box->click(); // the warning every time
    QCOMPARE(answerer->count(), 2);
    QCOMPARE(preserve.count(), 3);
    QCOMPARE(preserve.at(0).first().toBool(), false);
    QCOMPARE(preserve.at(1).first().toBool(), true);
    QCOMPARE(preserve.at(2).first().toBool(), false);

    // A forced package: no box, the mode stays.
    access.forcedUpdate() = true;
    access.setUpdateMode(3);
    box->click(); // unticked
    QCOMPARE(access.updateMode(), 3);
    box->click();
    QCOMPARE(answerer->count(), 2);
}

void TestMainWindowUpdate::closeDuringUpdateAsks()
{
    window->enableUpdateSlot(true); // the console answered; updates may start
    QVERIFY(window->close());       // nothing running: closes without a question
    QCOMPARE(answerer->count(), 0);
    window->show();

    // An update asked for: the worker has no port and answers with a failure soon, but the
    // close comes first.
    QVERIFY(window->updateController()->start(QString(), QStringLiteral("/nonexistent/image.iso"),
                                              false));
    answerer->enqueue(QMessageBox::No);
    QVERIFY(!window->close());
    QVERIFY(window->isVisible());
    QCOMPARE(answerer->count(), 1);
    QCOMPARE(answerer->last().title, QStringLiteral("Cancel"));
    QCOMPARE(answerer->last().text,
             QStringLiteral("Are you sure you want to abort the procedure?"));

    // The failure ends the run; closing needs no question then.
    QTRY_VERIFY(window->connectionLabel->text().startsWith("Transfer Failed"));
    QVERIFY(window->close());
    QCOMPARE(answerer->count(), 1);
}

QTEST_MAIN(TestMainWindowUpdate)
#include "tst_mainwindowupdate.moc"
