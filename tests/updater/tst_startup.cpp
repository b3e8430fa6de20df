// The start-up window: pages, buttons, scan timer, abort question, detection logging, Alt+D.
#include "contextmarker.h"
#include "mainwindow.h"
#include "modalanswerer.h"
#include "startup.h"
#include "startupwidget.h"
#include "stdoutrecorder.h"

#include <QGridLayout>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStackedWidget>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>
#include <pty.h>
#include <unistd.h>

namespace
{

const QString PackageVersion = QStringLiteral("v11.30.06.01.1.10_20161215");

// The start-up window with handles on the parts a user sees.
struct Wizard {
    std::unique_ptr<Startup> window;
    QStackedWidget* pages = nullptr;
    QPushButton* cancelButton = nullptr;
    QPushButton* nextButton = nullptr;
    QTimer* scanTimer = nullptr;
    MainWindow* page1 = nullptr;

    Startup* operator->() const { return window.get(); }

    // Cuts the requests that would reach the worker, the port scan and the debug console, so
    // that a test drives the window alone through the updater page's signals.
    void isolate()
    {
        QObject::disconnect(window.get(), SIGNAL(startSerialScanning(bool)), page1, nullptr);
        QObject::disconnect(window.get(), SIGNAL(firmwareUploadCommand()), page1, nullptr);
        QObject::disconnect(window.get(), SIGNAL(debugTerminalSignal(bool)), page1, nullptr);
        QObject::disconnect(page1, SIGNAL(ySerialConnect(QString)), nullptr, nullptr);
        QObject::disconnect(page1, SIGNAL(portDisconnect()), nullptr, nullptr);
    }
    // Goes to page 1, connects and presses "Update"; true when the update was started.
    bool startUpdate()
    {
        QSignalSpy uploads(window.get(), SIGNAL(firmwareUploadCommand()));
        window->nextPage();
        emit page1->deviceConnected(0);
        emit page1->activeUpdateSignal();
        nextButton->click();
        return uploads.count() == 1;
    }
};

Wizard makeWizard(bool isolated = true)
{
    Wizard w;
    w.window = std::make_unique<Startup>();
    QWidget* central = w.window->centralWidget();
    w.pages = central->findChild<QStackedWidget*>(QString(), Qt::FindDirectChildrenOnly);
    const auto buttons = central->findChildren<QPushButton*>(QString(), Qt::FindDirectChildrenOnly);
    if (buttons.size() == 2) {
        w.cancelButton = buttons.at(0);
        w.nextButton = buttons.at(1);
    }
    for (QTimer* timer : w.window->findChildren<QTimer*>(QString(), Qt::FindDirectChildrenOnly))
        if (timer->interval() == 500)
            w.scanTimer = timer;
    if (w.pages && w.pages->count() == 2)
        w.page1 = qobject_cast<MainWindow*>(w.pages->widget(1));
    if (isolated && w.page1)
        w.isolate();
    return w;
}

QRect expectedGeometry(int top)
{
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    return QRect((screen.width() - 1100) / 2, top, 1100, 350);
}

void sendKey(QWidget* target, Qt::Key key, Qt::KeyboardModifiers modifiers, const QString& text,
             bool* accepted = nullptr)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers, text);
    QApplication::sendEvent(target, &press);
    if (accepted)
        *accepted = press.isAccepted();
}

} // namespace

class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    // These two come first: they see the once-per-process flags in their initial state.
    void detectionLogsOnlyChanges();
    void debugToggleAlternates();

    void keyPress_data();
    void keyPress();
    void initialState();
    void connections();
    void scanTimerRunsOnlyOnWelcomePage();
    void detectedConsoleEnablesNext();
    void nextWithoutConnectionAsksToConnect();
    void updateStartsOnlyWhenConnected();
    void detectionDuringUpdateKeepsNextDisabled();
    void abortQuestion_data();
    void abortQuestion();
    void backBeforeUpdateAsksNothing();
    void cancelOnWelcomePageQuits();
    void pageChangesRecentre();
    void buttonTextsUseMainWindowContext();

private:
    QTemporaryDir dir;
    int ptyMaster = -1;
    int ptySlave = -1;
    QString ptyPath;
};

void TestStartup::initTestCase()
{
    Q_INIT_RESOURCE(resources);
    QVERIFY(dir.isValid());

    // The package folder is the second data location: point the system's list at ours.
    const QString home = dir.filePath("home");
    const QString system = dir.filePath("system");
    const QString package = system + "/Brenvik/Updater";
    QVERIFY(QDir().mkpath(home));
    QVERIFY(QDir().mkpath(package));
    qputenv("XDG_DATA_HOME", home.toLocal8Bit());
    qputenv("XDG_DATA_DIRS", system.toLocal8Bit());
    qunsetenv("UPDATER_EXTRA_PORTS");

    QFile ini(package + "/versions.ini");
    QVERIFY(ini.open(QIODevice::WriteOnly));
    ini.write("[Versions]\r\nFull=v11.30.06.01.1.10\r\nDate=20161215\r\n");
    ini.close();
    QFile image(package + "/firmware.iso");
    QVERIFY(image.open(QIODevice::WriteOnly));
    QVERIFY(image.resize(16 * 1024 * 1024));
    image.close();

    char name[256] = {};
    QCOMPARE(::openpty(&ptyMaster, &ptySlave, name, nullptr, nullptr), 0);
    ptyPath = QString::fromLocal8Bit(name);
}

void TestStartup::cleanupTestCase()
{
    if (ptySlave >= 0)
        ::close(ptySlave);
    if (ptyMaster >= 0)
        ::close(ptyMaster);
}

void TestStartup::detectionLogsOnlyChanges()
{
    Wizard w = makeWizard();
    QVERIFY(w.page1);
    StdoutRecorder out;
    QVERIFY(out.started);

    // The first detection after start-up is not logged; repeats never are.
    emit w.page1->deviceDetected(true);
    QVERIFY(w.nextButton->isEnabled());
    emit w.page1->deviceDetected(true);
    emit w.page1->deviceDetected(false);
    QVERIFY(!w.nextButton->isEnabled());
    emit w.page1->deviceDetected(false);
    emit w.page1->deviceDetected(true);
    QVERIFY(w.nextButton->isEnabled());
    emit w.page1->deviceDetected(true);

    QCOMPARE(out.lines({"deviceDetected"}),
             QByteArray("deviceDetected false\r\ndeviceDetected true\r\n"));
}

void TestStartup::debugToggleAlternates()
{
    Wizard w = makeWizard();
    QSignalSpy toggles(w.window.get(), SIGNAL(debugTerminalSignal(bool)));
    for (int i = 0; i < 3; ++i)
        sendKey(w.window.get(), Qt::Key_D, Qt::AltModifier | Qt::ShiftModifier, "D");
    QCOMPARE(toggles.count(), 3);
    // The first press opens the console, the second closes it.
    QCOMPARE(toggles.at(0).at(0).toBool(), true);
    QCOMPARE(toggles.at(1).at(0).toBool(), false);
    QCOMPARE(toggles.at(2).at(0).toBool(), true);
    // Back to closed for the tests that follow.
    sendKey(w.window.get(), Qt::Key_D, Qt::AltModifier | Qt::ShiftModifier, "D");
}

void TestStartup::keyPress_data()
{
    QTest::addColumn<QString>("target"); // where the key press is delivered
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("toggles");
    QTest::addColumn<QByteArray>("printed");

    const int alt = Qt::AltModifier;
    const int altShift = Qt::AltModifier | Qt::ShiftModifier;
    QTest::newRow("Alt+Shift+D") << "window" << int(Qt::Key_D) << altShift << "D" << 1
                                 << QByteArray("Alt+D Pressed\r\n");
    QTest::newRow("Alt+d lower case")
        << "window" << int(Qt::Key_D) << alt << "d" << 0 << QByteArray("Alt+d Pressed\r\n");
    QTest::newRow("Alt+X") << "window" << int(Qt::Key_X) << alt << "x" << 0
                           << QByteArray("Alt+x Pressed\r\n");
    QTest::newRow("Shift+D without Alt")
        << "window" << int(Qt::Key_D) << int(Qt::ShiftModifier) << "D" << 0 << QByteArray();
    QTest::newRow("Alt alone") << "window" << int(Qt::Key_Alt) << alt << "" << 0 << QByteArray();
    QTest::newRow("focus on a button")
        << "button" << int(Qt::Key_D) << altShift << "D" << 1 << QByteArray("Alt+D Pressed\r\n");
    // The updater page logs the combination itself and keeps the key.
    QTest::newRow("focus on the updater page")
        << "page" << int(Qt::Key_D) << altShift << "D" << 0 << QByteArray("Alt+D Pressed\r\n");
}

void TestStartup::keyPress()
{
    QFETCH(QString, target);
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(int, toggles);
    QFETCH(QByteArray, printed);

    Wizard w = makeWizard();
    QSignalSpy spy(w.window.get(), SIGNAL(debugTerminalSignal(bool)));
    QWidget* receiver = w.window.get();
    if (target == "button")
        receiver = w.cancelButton;
    else if (target == "page")
        receiver = w.page1;

    StdoutRecorder out;
    QVERIFY(out.started);
    bool accepted = false;
    sendKey(receiver, Qt::Key(key), Qt::KeyboardModifiers(modifiers), text, &accepted);
    QCOMPARE(out.lines({"Alt"}), printed);
    QCOMPARE(spy.count(), toggles);
    QVERIFY2(accepted, "key presses end in the window");

    // Leave the process-wide toggle where it was.
    if (toggles % 2)
        sendKey(w.window.get(), Qt::Key_D, Qt::AltModifier | Qt::ShiftModifier, "D");
}

void TestStartup::initialState()
{
    Wizard w = makeWizard();
    QVERIFY(w.pages && w.cancelButton && w.nextButton && w.scanTimer && w.page1);

    QCOMPARE(w->windowTitle(), QString("Updater v01.13"));
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    QCOMPARE(w->geometry(), expectedGeometry((screen.height() - 350) / 2));

    QCOMPARE(w.pages->count(), 2);
    QVERIFY(qobject_cast<StartupWidget*>(w.pages->widget(0)));
    QCOMPARE(w.pages->currentIndex(), 0);
    // The welcome page shows the version of the package that travels with the updater.
    QCOMPARE(w.page1->packageVersionText(), PackageVersion);
    QCOMPARE(w.pages->widget(0)->findChild<QLabel*>("versionLabel_2")->text(), PackageVersion);

    QCOMPARE(w.cancelButton->text(), QString("Cancel"));
    QCOMPARE(w.nextButton->text(), QString("Next"));
    QVERIFY(w.cancelButton->isEnabled());
    QVERIFY(!w.nextButton->isEnabled());
    for (QPushButton* button : {w.cancelButton, w.nextButton}) {
        QCOMPARE(button->minimumHeight(), 55);
        QCOMPARE(button->minimumWidth(), 128);
        QCOMPARE(button->font().pointSize(), 16);
        QCOMPARE(button->font().weight(), int(QFont::Bold));
    }

    auto* grid = qobject_cast<QGridLayout*>(w->centralWidget()->layout());
    QVERIFY(grid);
    auto cell = [grid](QLayoutItem* item) {
        int row, column, rowSpan, columnSpan;
        grid->getItemPosition(grid->indexOf(item), &row, &column, &rowSpan, &columnSpan);
        return QList<int>({row, column, rowSpan, columnSpan});
    };
    auto widgetCell = [&](QWidget* widget) { return cell(grid->itemAt(grid->indexOf(widget))); };
    QCOMPARE(widgetCell(w.pages), QList<int>({0, 0, 1, 3}));
    QCOMPARE(widgetCell(w.cancelButton), QList<int>({1, 1, 1, 1}));
    QCOMPARE(widgetCell(w.nextButton), QList<int>({1, 2, 1, 1}));
    QLayoutItem* spacer = grid->itemAtPosition(1, 0);
    QVERIFY(spacer && spacer->spacerItem());
    QCOMPARE(spacer->spacerItem()->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(spacer->spacerItem()->sizePolicy().verticalPolicy(), QSizePolicy::Minimum);

    QVERIFY(w.scanTimer->isActive());
    QCOMPARE(w.scanTimer->interval(), 500);

    // The updater page's two status labels sit in the window's status bar: the connection
    // state on the right, the detection message on the left.
    QStatusBar* bar = w->statusBar();
    QCOMPARE(bar->objectName(), QString("statusBar"));
    QCOMPARE(w.page1->connectionLabel->parentWidget(), bar);
    QCOMPARE(w.page1->detectionLabel->parentWidget(), bar);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.window.get()));
    QTRY_VERIFY(w.page1->connectionLabel->isVisible());
    QVERIFY(w.page1->connectionLabel->x() > w.page1->detectionLabel->x());
}

void TestStartup::connections()
{
    Wizard w = makeWizard(false);
    Startup* s = w.window.get();
    MainWindow* m = w.page1;
    // Each disconnect succeeds only when the connection was made.
    QVERIFY(QObject::disconnect(m, SIGNAL(deviceDetected(bool)), s, SLOT(deviceDetected(bool))));
    QVERIFY(QObject::disconnect(w.cancelButton, SIGNAL(clicked()), s, SLOT(cancPage())));
    QVERIFY(QObject::disconnect(w.nextButton, SIGNAL(clicked()), s, SLOT(nextPage())));
    QVERIFY(QObject::disconnect(w.scanTimer, SIGNAL(timeout()), s, SLOT(scanSerial())));
    QVERIFY(QObject::disconnect(s, SIGNAL(startSerialScanning(bool)), m,
                                SLOT(refreshSerialDevices(bool))));
    QVERIFY(QObject::disconnect(s, SIGNAL(serialDisconnect()), m, SLOT(disconnectDevice())));
    QVERIFY(QObject::disconnect(s, SIGNAL(firmwareUploadCommand()), m, SLOT(firmwareUpload())));
    QVERIFY(QObject::disconnect(s, SIGNAL(debugTerminalSignal(bool)), m,
                                SLOT(debugTerminalSlot(bool))));
    QVERIFY(QObject::disconnect(m, SIGNAL(deviceConnected(int)), s, SLOT(serialConnected(int))));
    QVERIFY(QObject::disconnect(m, SIGNAL(activeUpdateSignal()), s, SLOT(activeUpdateSlot())));
}

void TestStartup::scanTimerRunsOnlyOnWelcomePage()
{
    Wizard w = makeWizard();
    QSignalSpy scans(w.window.get(), SIGNAL(startSerialScanning(bool)));

    QTRY_VERIFY_WITH_TIMEOUT(scans.count() >= 2, 5000);
    for (const QList<QVariant>& args : scans)
        QCOMPARE(args.at(0).toBool(), true);

    w->nextPage();
    QVERIFY(!w.scanTimer->isActive());
    scans.clear();
    QTest::qWait(1200); // a scan would have come twice by now
    QCOMPARE(scans.count(), 0);

    w->cancPage();
    QCOMPARE(w.pages->currentIndex(), 0);
    QVERIFY(w.scanTimer->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(scans.count() >= 1, 5000);
}

void TestStartup::detectedConsoleEnablesNext()
{
    // A console on a pseudo-terminal, offered to the port list with its manufacturer string.
    qputenv("UPDATER_EXTRA_PORTS", (ptyPath + "=STMicroelectronics.").toLocal8Bit());
    Wizard w = makeWizard(false);
    QObject::disconnect(w.page1, SIGNAL(ySerialConnect(QString)), nullptr, nullptr);
    QLabel* detection = w.page1->detectionLabel;

    QVERIFY(!w.nextButton->isEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(w.nextButton->isEnabled(), 5000);
    QCOMPARE(detection->text(), QString("Brenvik Device Detected"));

    qunsetenv("UPDATER_EXTRA_PORTS");
    QTRY_VERIFY_WITH_TIMEOUT(!w.nextButton->isEnabled(), 5000);
    QCOMPARE(detection->text(), QString("Please Connect Brenvik Device"));
}

void TestStartup::nextWithoutConnectionAsksToConnect()
{
    Wizard w = makeWizard();
    QSignalSpy connects(w.page1, SIGNAL(ySerialConnect(QString)));
    QSignalSpy uploads(w.window.get(), SIGNAL(firmwareUploadCommand()));

    emit w.page1->deviceDetected(true);
    w.nextButton->click();
    QCOMPARE(w.pages->currentIndex(), 1);
    QCOMPARE(w.nextButton->text(), QString("Update"));
    QCOMPARE(w.cancelButton->text(), QString("Back"));
    QVERIFY(!w.nextButton->isEnabled());
    QCOMPARE(connects.count(), 1);

    // "Update" while not connected only retries the connection.
    emit w.page1->activeUpdateSignal();
    QVERIFY(w.nextButton->isEnabled());
    w.nextButton->click();
    QCOMPARE(w.pages->currentIndex(), 1);
    QCOMPARE(connects.count(), 2);
    QVERIFY(!w.nextButton->isEnabled());

    // A failed or closed connection is no connection.
    for (int result : {-1, -2, 5}) {
        emit w.page1->deviceConnected(result);
        w->nextPage();
        QCOMPARE(uploads.count(), 0);
    }
    QCOMPARE(connects.count(), 5);
}

void TestStartup::updateStartsOnlyWhenConnected()
{
    Wizard w = makeWizard();
    QSignalSpy connects(w.page1, SIGNAL(ySerialConnect(QString)));
    QSignalSpy uploads(w.window.get(), SIGNAL(firmwareUploadCommand()));

    // Already connected when "Next" is pressed: no second connect request.
    emit w.page1->deviceConnected(0);
    w->nextPage();
    QCOMPARE(w.pages->currentIndex(), 1);
    QCOMPARE(connects.count(), 0);
    QCOMPARE(uploads.count(), 0);

    emit w.page1->activeUpdateSignal();
    w.nextButton->click();
    QCOMPARE(uploads.count(), 1);
    QCOMPARE(connects.count(), 0);
    QVERIFY(!w.nextButton->isEnabled());
    QCOMPARE(w.pages->currentIndex(), 1);
}

void TestStartup::detectionDuringUpdateKeepsNextDisabled()
{
    Wizard w = makeWizard();
    QVERIFY(w.startUpdate());
    QVERIFY(!w.nextButton->isEnabled());

    emit w.page1->deviceDetected(true);
    QVERIFY(!w.nextButton->isEnabled());
    // Only the updater page may offer the button again during an update.
    emit w.page1->activeUpdateSignal();
    QVERIFY(w.nextButton->isEnabled());
    emit w.page1->deviceDetected(false);
    QVERIFY(!w.nextButton->isEnabled());
}

void TestStartup::abortQuestion_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<int>("page");
    QTest::addColumn<QString>("leftText");
    QTest::addColumn<QString>("rightText");
    QTest::addColumn<bool>("nextEnabled");
    QTest::addColumn<int>("disconnects");
    QTest::addColumn<QByteArray>("printed");
    QTest::addColumn<bool>("updateStillActive");

    QTest::newRow("No keeps the update")
        << int(QMessageBox::No) << 1 << "Back"
        << "Update" << false << 0 << QByteArray("No was clicked\r\n") << true;
    QTest::newRow("Yes returns to the welcome page")
        << int(QMessageBox::Yes) << 0 << "Cancel"
        << "Next" << true << 1 << QByteArray("Yes was clicked\r\n") << false;
}

void TestStartup::abortQuestion()
{
    QFETCH(int, answer);
    QFETCH(int, page);
    QFETCH(QString, leftText);
    QFETCH(QString, rightText);
    QFETCH(bool, nextEnabled);
    QFETCH(int, disconnects);
    QFETCH(QByteArray, printed);
    QFETCH(bool, updateStillActive);

    Wizard w = makeWizard();
    QVERIFY(w.startUpdate());
    QSignalSpy disconnectRequests(w.window.get(), SIGNAL(serialDisconnect()));
    ModalAnswerer answerer{QMessageBox::StandardButton(answer)};
    StdoutRecorder out;
    QVERIFY(out.started);

    w.cancelButton->click();

    QCOMPARE(answerer.seen.size(), 1);
    QCOMPARE(answerer.seen.at(0).title, QString("Cancel"));
    QCOMPARE(answerer.seen.at(0).text, QString("Are you sure you want to abort the procedure?"));
    QCOMPARE(answerer.seen.at(0).buttons, QMessageBox::Yes | QMessageBox::No);
    QCOMPARE(out.lines({"Yes", "No"}), printed);

    QCOMPARE(w.pages->currentIndex(), page);
    QCOMPARE(w.cancelButton->text(), leftText);
    QCOMPARE(w.nextButton->text(), rightText);
    QCOMPARE(w.nextButton->isEnabled(), nextEnabled);
    QCOMPARE(w.scanTimer->isActive(), page == 0);
    QCOMPARE(disconnectRequests.count(), disconnects);

    // Whether the update still counts as running shows in how detection treats the button.
    emit w.page1->deviceDetected(true);
    QCOMPARE(w.nextButton->isEnabled(), !updateStillActive);
}

void TestStartup::backBeforeUpdateAsksNothing()
{
    Wizard w = makeWizard();
    w->nextPage();
    QSignalSpy disconnectRequests(w.window.get(), SIGNAL(serialDisconnect()));
    ModalAnswerer answerer(QMessageBox::No);

    w.cancelButton->click();
    QTest::qWait(100); // room for a box to show up if one were asked
    QVERIFY(answerer.seen.isEmpty());
    QCOMPARE(w.pages->currentIndex(), 0);
    QCOMPARE(w.cancelButton->text(), QString("Cancel"));
    QCOMPARE(w.nextButton->text(), QString("Next"));
    // Enabled even though no console was ever detected.
    QVERIFY(w.nextButton->isEnabled());
    QVERIFY(w.scanTimer->isActive());
    QCOMPARE(disconnectRequests.count(), 1);
}

void TestStartup::cancelOnWelcomePageQuits()
{
    Wizard w = makeWizard();
    emit w.page1->deviceConnected(0); // quits even while connected
    QSignalSpy disconnectRequests(w.window.get(), SIGNAL(serialDisconnect()));

    QTimer watchdog;
    watchdog.setSingleShot(true);
    connect(&watchdog, &QTimer::timeout, [] { QCoreApplication::exit(99); });
    watchdog.start(20000);
    QElapsedTimer clock;
    QTimer::singleShot(0, w.cancelButton, [&] {
        clock.start();
        w.cancelButton->click();
    });
    const int exitCode = QCoreApplication::exec();
    watchdog.stop();

    QCOMPARE(exitCode, 0);
    QVERIFY2(clock.elapsed() >= 900, "the port gets a second to close");
    // Once before the pause, once more as the welcome page is set up again.
    QCOMPARE(disconnectRequests.count(), 2);
    QCOMPARE(w.pages->currentIndex(), 0);
}

void TestStartup::pageChangesRecentre()
{
    Wizard w = makeWizard();
    // Moved and resized by the user: the size and the left edge are undone, the top is kept.
    w->setGeometry(3, 40, 700, 500);
    w->nextPage();
    QCOMPARE(w->geometry(), expectedGeometry(40));

    w->setGeometry(17, 61, 1300, 420);
    w->cancPage();
    QCOMPARE(w->geometry(), expectedGeometry(61));
}

void TestStartup::buttonTextsUseMainWindowContext()
{
    Wizard w = makeWizard();
    ContextMarker marker;
    QCoreApplication::installTranslator(&marker);
    w->nextPage();
    const QStringList onUpdaterPage = {w.cancelButton->text(), w.nextButton->text()};
    w->cancPage();
    const QStringList onWelcomePage = {w.cancelButton->text(), w.nextButton->text()};
    QCoreApplication::removeTranslator(&marker);

    QCOMPARE(onUpdaterPage, QStringList({"[MainWindow]Back", "[MainWindow]Update"}));
    QCOMPARE(onWelcomePage, QStringList({"[MainWindow]Cancel", "[MainWindow]Next"}));
}

QTEST_MAIN(TestStartup)
#include "tst_startup.moc"
