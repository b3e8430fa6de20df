#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "../common/modalanswerer.h"
#include "../link/ymodemtestaccess.h"
#include "mainwindowtestaccess.h"
#include "stdoutrecorder.h"
#include "testpackage.h"
#include "timescale.h"

#include <QApplication>
#include <QEventLoop>
#include <QKeyEvent>
#include <QThread>
#include <QtTest>

namespace
{
const QByteArray demoVersions = "[Versions]\n"
                                "Full=v11.30.06.01.1.10\n"
                                "Bootloader=01.10\n"
                                "Date=20161215\n"
                                "minorVersion=020304\n"
                                "VChanged=300000\n"
                                "Forced=NO\n"
                                "Query=2\n"
                                "CREATE TABLE t(a);\n"
                                "INSERT INTO t VALUES(1);\n";

QtMessageHandler previousHandler = nullptr;
QStringList connectWarnings;
void collectConnectWarnings(QtMsgType type, const QMessageLogContext& context, const QString& msg)
{
    if (type == QtWarningMsg && msg.contains(QLatin1String("connect")))
        connectWarnings << msg;
    previousHandler(type, context, msg);
}
} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void construction();
    void package_data();
    void package();
    void forcedUpdate_data();
    void forcedUpdate();
    void queriesReachTheWorker();
    void secondVersionsFileKeepsLentQueries();
    void messageHold();
    void valueSlots();
    void firmwareUpload_data();
    void firmwareUpload();
    void altKeys_data();
    void altKeys();
    // Last: the shutdown asks the application to quit, after which no dialog loop runs.
    void delayedShutdown();
};

void TestMainWindow::initTestCase()
{
    // Shortens the one-second sleep before the final box.
    TimeScale::setFactor(0.05);
}

void TestMainWindow::construction()
{
    TestPackage package;
    QVERIFY(package.write("versions.ini", demoVersions));
    QVERIFY(package.makeImage("brenvik_fs.iso"));

    connectWarnings.clear();
    previousHandler = qInstallMessageHandler(collectConnectWarnings);
    StdoutRecorder tap;
    QVERIFY(tap.started);
    MainWindow w;
    const QByteArray out = tap.takeWithoutTestLog();
    qInstallMessageHandler(previousHandler);
    QVERIFY2(connectWarnings.isEmpty(), qPrintable(connectWarnings.join('\n')));

    MainWindowTestAccess a(&w);
    QCOMPARE(QCoreApplication::organizationName(), QStringLiteral("Brenvik"));
    QCOMPARE(QCoreApplication::applicationName(), QStringLiteral("Updater"));
    QCOMPARE(a.tickTimer()->interval(), 20);
    QVERIFY(a.tickTimer()->isActive());
    QCOMPARE(a.thread()->stackSize(), 1108864u);
    QVERIFY(a.thread()->isRunning());
    QCOMPARE(a.worker()->thread(), a.thread());
    QCOMPARE(a.updatePhase(), 0);
    QCOMPARE(a.updateMode(), 5);
    QVERIFY(!a.isConnected());
    QVERIFY(!w.windowIcon().isNull());
    QCOMPARE(w.connectionLabel->parent(), &w);
    QCOMPARE(w.detectionLabel->parent(), &w);

    // The trace: the stack size after the thread starts, the package path twice, then the
    // folder listing with the values read from versions.ini.
    const QString path = package.path();
    QVERIFY(out.contains("mThread stackSize : 1108864\r\n"));
    QVERIFY(out.contains("PATH=" + path.toLatin1() + "\r\nPATH=" + path.toLatin1() + "\r\n"));
    QVERIFY(out.contains(QStringLiteral("%1 %2\r\n")
                             .arg(qint64(demoVersions.size()), 10)
                             .arg(package.filePath("versions.ini"))
                             .toLatin1()));
    QVERIFY(out.contains("Full = v11.30.06.01.1.10\r\nBootloader = 01.10\r\nDate = 20161215\r\n"));
    QVERIFY(out.indexOf("mThread stackSize") < out.indexOf("PATH="));
}

void TestMainWindow::package_data()
{
    QTest::addColumn<QByteArray>("versions"); // empty: no versions.ini
    QTest::addColumn<QString>("imageName");   // empty: no image
    QTest::addColumn<qint64>("imageSize");
    QTest::addColumn<bool>("imageFound");
    QTest::addColumn<QString>("label83");
    QTest::addColumn<QString>("versionText");
    QTest::addColumn<QString>("refusal"); // the box that refuses the package, empty: none

    const QString formText = "v11.30.06.01.1.10_20161215";
    const QByteArray v = "[Versions]\nFull=v12.00\nDate=20200101\n";
    QTest::newRow("empty folder") << QByteArray() << QString() << qint64(0) << false << formText
                                  << "_"
                                  << "";
    QTest::newRow("versions and image")
        << v << "brenvik_fs.iso" << TestPackage::ImageSize << true << "v12.00_20200101"
        << "v12.00_20200101"
        << "";
    QTest::newRow("versions without image")
        << v << QString() << qint64(0) << false << formText << "v12.00_20200101"
        << "";
    // A package without a sound description is refused: its statements and limits are unknown.
    QTest::newRow("image without versions")
        << QByteArray() << "fs.iso" << TestPackage::ImageSize << false << "_"
        << "_"
        << "The firmware package is not valid: versions.ini is missing";
    QTest::newRow("image one byte short") << v << "brenvik_fs.iso" << TestPackage::ImageSize - 1
                                          << false << formText << "v12.00_20200101"
                                          << "";
    QTest::newRow("extension in upper case")
        << v << "BRENVIK_FS.ISO" << TestPackage::ImageSize << false << formText << "v12.00_20200101"
        << "";
    QTest::newRow("hidden image counts")
        << v << ".brenvik_fs.iso" << TestPackage::ImageSize << true << "v12.00_20200101"
        << "v12.00_20200101"
        << "";
    QTest::newRow("versions without header")
        << QByteArray("Full=v12.00\nDate=20200101\n") << "fs.iso" << TestPackage::ImageSize << false
        << "_"
        << "_"
        << "The firmware package is not valid: versions.ini has no header";
    QTest::newRow("versions cut off before its statements")
        << QByteArray("[Versions]\nFull=v12.00\nDate=20200101\nQuery=3\nCREATE TABLE t(a);\n")
        << "fs.iso" << TestPackage::ImageSize << false << "_"
        << "_"
        << "The firmware package is not valid: versions.ini holds 1 of its 3 statements";
}

void TestMainWindow::package()
{
    QFETCH(QByteArray, versions);
    QFETCH(QString, imageName);
    QFETCH(qint64, imageSize);
    QFETCH(bool, imageFound);
    QFETCH(QString, label83);
    QFETCH(QString, versionText);
    QFETCH(QString, refusal);

    TestPackage package;
    if (!versions.isEmpty())
        QVERIFY(package.write("versions.ini", versions));
    if (!imageName.isEmpty())
        QVERIFY(package.makeImage(imageName, imageSize));

    ModalAnswerer answerer;
    MainWindow w;
    MainWindowTestAccess a(&w);
    QCOMPARE(answerer.count(), refusal.isEmpty() ? 0 : 1);
    if (!refusal.isEmpty())
        QVERIFY2(answerer.last().text.startsWith(refusal), qPrintable(answerer.last().text));
    QCOMPARE(a.dataPath(), package.path());
    QCOMPARE(a.updaterFileMissing(), !imageFound);
    QCOMPARE(a.firmwarePath(), imageFound ? package.filePath(imageName) : QString());
    QCOMPARE(a.ui()->label_83->text(), label83);
    QCOMPARE(w.packageVersionText(), versionText);
}

void TestMainWindow::forcedUpdate_data()
{
    QTest::addColumn<QString>("forced");
    QTest::addColumn<bool>("isForced");
    QTest::newRow("YES") << "YES" << true;
    QTest::newRow("lower case yes") << "yes" << true;
    QTest::newRow("NO") << "NO" << false;
}

void TestMainWindow::forcedUpdate()
{
    QFETCH(QString, forced);
    QFETCH(bool, isForced);

    TestPackage package;
    QVERIFY(package.write("versions.ini", "[Versions]\nForced=" + forced.toLatin1() + "\n"));
    ModalAnswerer answerer;
    MainWindow w;
    MainWindowTestAccess a(&w);

    QCOMPARE(a.verForced(), forced);
    QCOMPARE(a.forcedUpdate(), isForced);
    QCOMPARE(a.updateMode(), isForced ? 3 : 5);
    QCOMPARE(a.ui()->rescueMode->isChecked(), isForced);
    QCOMPARE(a.ui()->rescueMode->isEnabled(), !isForced);
    QCOMPARE(answerer.count(), isForced ? 1 : 0);
    if (isForced) {
        QCOMPARE(answerer.last().title, QStringLiteral("Warning"));
        QCOMPARE(answerer.last().icon, QMessageBox::Warning);
        QCOMPARE(answerer.last().text,
                 QStringLiteral("WARNING: For technical reasons this upgrade WILL delete all "
                                "Users Settings.       \n          Go ahead if you are absolutely "
                                "sure about what you're doing.             \n "));
        // The worker is told not to keep the users' data.
        QTRY_VERIFY(!YmodemTestAccess::preserveSettings(*a.worker()));
        QVERIFY(YmodemTestAccess::rescueRequested(*a.worker()));
    }
}

void TestMainWindow::queriesReachTheWorker()
{
    TestPackage package;
    QVERIFY(package.write("versions.ini", demoVersions));
    MainWindow w;
    MainWindowTestAccess a(&w);

    const QStringList expected{"CREATE TABLE t(a);", "INSERT INTO t VALUES(1);"};
    QCOMPARE(a.queries(), expected);
    // Delivered across the thread with both version limits.
    QTRY_COMPARE(YmodemTestAccess::queryList(*a.worker()), expected);
    QCOMPARE(YmodemTestAccess::verChanged(*a.worker()), 300000);
    QCOMPARE(YmodemTestAccess::minVerChanged(*a.worker()), 20304);
}

void TestMainWindow::secondVersionsFileKeepsLentQueries()
{
    // Both names hold "versions.ini"; the smaller is read first and its list goes to the worker.
    TestPackage package;
    QVERIFY(package.write("versions.ini", "[Versions]\nQuery=1\nSELECT 1;\n"));
    QVERIFY(
        package.write("versions.ini.new",
                      "[Versions]\nFull=v13\nQuery=2\nSELECT 20;\nSELECT 21;\n-- padding --\n"));
    MainWindow w;
    MainWindowTestAccess a(&w);

    // The worker reads the list through its pointer: it must not change once lent.
    const QStringList expected{"SELECT 1;"};
    QCOMPARE(a.queries(), expected);
    QTRY_COMPARE(YmodemTestAccess::queryList(*a.worker()), expected);
    // Values before the second file's query line are still read.
    QCOMPARE(a.verFull(), QStringLiteral("v13"));
}

void TestMainWindow::messageHold()
{
    TestPackage package;
    MainWindow w;
    MainWindowTestAccess a(&w);
    a.tickTimer()->stop();
    QLabel* label = w.connectionLabel;

    a.timerSlot();
    QCOMPARE(label->text(), QStringLiteral("Not connected"));

    w.showResultMessage("Transfer Aborted by Device!", false);
    QCOMPARE(label->styleSheet(),
             QStringLiteral("QLabel { background-color : red; color : black; }"));
    for (int tick = 1; tick < 80; ++tick)
        a.timerSlot();
    QCOMPARE(label->text(), QStringLiteral("Transfer Aborted by Device!"));
    QVERIFY(label->styleSheet().contains("red"));

    a.timerSlot(); // the 80th: style back, message still there
    QCOMPARE(label->styleSheet(), qApp->styleSheet());
    QCOMPARE(label->text(), QStringLiteral("Transfer Aborted by Device!"));

    a.isConnected() = true;
    a.timerSlot();
    QCOMPARE(label->text(), QStringLiteral("Connected"));

    w.showResultMessage("Transfer successfully terminated!", true);
    QCOMPARE(label->styleSheet(),
             QStringLiteral("QLabel { background-color : lightgreen; color : black; }"));
    QCOMPARE(a.labelHoldTicks(), 80);
}

void TestMainWindow::valueSlots()
{
    TestPackage package;
    MainWindow w;
    MainWindowTestAccess a(&w);
    QLabel* version = a.ui()->firmwareVersionLabel;
    const QString before = version->text();

    a.updateVersionString(QString());
    QCOMPARE(version->text(), before);
    a.updateVersionString("11.30.06");
    QCOMPARE(version->text(), QStringLiteral("11.30.06"));
    QCOMPARE(version->alignment(), Qt::AlignCenter);
    a.updateVersionString(QString());
    QCOMPARE(version->text(), QStringLiteral("11.30.06"));

    a.tickTimer()->stop();
    a.getFirmwareUploadStatus("Sending");
    QCOMPARE(a.ui()->firmwareUploadStatusLabel->text(), QStringLiteral("Sending"));
    a.getFirmwareUploadStatus(QString());
    QCOMPARE(a.ui()->firmwareUploadStatusLabel->text(), QString());
}

void TestMainWindow::firmwareUpload_data()
{
    QTest::addColumn<bool>("connected");
    QTest::addColumn<QString>("setup");   // none, image, removed, shrunk, binIso, bin:<size>
    QTest::addColumn<QString>("refusal"); // empty when the upload starts

    const QString closed = "Serial port closed. Connect Brenvik Device before proceeding.";
    const QString cannotOpen = "Could not open file. Make sure that the path is valid.";
    QTest::newRow("not connected, no image") << false << "none" << closed;
    QTest::newRow("not connected, image") << false << "image" << closed;
    QTest::newRow("no image") << true << "none" << cannotOpen;
    QTest::newRow("image removed since the scan") << true << "removed" << cannotOpen;
    QTest::newRow("image shrunk since the scan")
        << true << "shrunk"
        << "The selected file has wrong in size to be a Brenvik filesystem.";
    QTest::newRow("binary too large") << true << "bin:1966081"
                                      << "The selected file is too large to be a Brenvik firmware.";
    QTest::newRow("binary at the limit") << true << "bin:1966080" << QString();
    // Both parts in the name: the image size alone does not let it through.
    QTest::newRow("image named .bin.iso")
        << true << "binIso"
        << "The selected file is too large to be a Brenvik firmware.";
    QTest::newRow("image") << true << "image" << QString();
}

void TestMainWindow::firmwareUpload()
{
    QFETCH(bool, connected);
    QFETCH(QString, setup);
    QFETCH(QString, refusal);

    TestPackage package;
    QVERIFY(package.write("versions.ini", "[Versions]\nFull=v12.00\n"));
    if (setup != "none" && setup != "binIso" && !setup.startsWith("bin:"))
        QVERIFY(package.makeImage("brenvik_fs.iso"));
    MainWindow w;
    MainWindowTestAccess a(&w);
    // The worker must not start a real sequence here.
    disconnect(&w, SIGNAL(yTransmit(QString)), nullptr, nullptr);
    QSignalSpy transmit(&w, SIGNAL(yTransmit(QString)));

    QString expectedPath = package.filePath("brenvik_fs.iso");
    if (setup == "removed")
        QVERIFY(QFile::remove(expectedPath));
    if (setup == "shrunk")
        QVERIFY(QFile::resize(expectedPath, TestPackage::ImageSize - 1));
    if (setup == "binIso") {
        expectedPath = package.filePath("fw.bin.iso");
        QVERIFY(package.makeImage("fw.bin.iso"));
        a.firmwarePath() = expectedPath;
    }
    if (setup.startsWith("bin:")) {
        expectedPath = package.filePath("ch-brenvik.bin");
        QVERIFY(package.makeImage("ch-brenvik.bin", setup.mid(4).toLongLong()));
        a.firmwarePath() = expectedPath;
    }
    a.isConnected() = connected;
    a.ui()->firmwareBar->setValue(500);

    ModalAnswerer answerer;
    w.firmwareUpload();

    QCOMPARE(a.ui()->firmwareBar->value(), 0);
    if (refusal.isEmpty()) {
        QCOMPARE(answerer.count(), 0);
        QCOMPARE(transmit.count(), 1);
        QCOMPARE(transmit.at(0).at(0).toString(), expectedPath);
        QCOMPARE(a.updatePhase(), 1);
        QVERIFY(!a.ui()->rescueMode->isEnabled());
        QVERIFY(!a.ui()->refreshButton->isEnabled());
        QVERIFY(!a.ui()->serialCombobox->isEnabled());
    } else {
        QCOMPARE(answerer.count(), 1);
        QCOMPARE(answerer.last().title, QStringLiteral("Error"));
        QCOMPARE(answerer.last().icon, QMessageBox::Critical);
        QCOMPARE(answerer.last().text, refusal);
        QCOMPARE(transmit.count(), 0);
        QCOMPARE(a.updatePhase(), 0);
        QVERIFY(a.ui()->rescueMode->isEnabled());
        QVERIFY(a.ui()->refreshButton->isEnabled());
        QVERIFY(a.ui()->serialCombobox->isEnabled());
    }
}

void TestMainWindow::altKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("printed");
    QTest::newRow("Alt+Shift+D") << int(Qt::Key_D) << int(Qt::AltModifier | Qt::ShiftModifier)
                                 << "D" << QByteArray("Alt+D Pressed\r\n");
    QTest::newRow("Alt+d") << int(Qt::Key_D) << int(Qt::AltModifier) << "d"
                           << QByteArray("Alt+d Pressed\r\n");
    QTest::newRow("Alt alone") << int(Qt::Key_Alt) << int(Qt::AltModifier) << QString()
                               << QByteArray();
    QTest::newRow("no Alt") << int(Qt::Key_D) << int(Qt::NoModifier) << "d" << QByteArray();
}

void TestMainWindow::altKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, text);
    QFETCH(QByteArray, printed);

    TestPackage package;
    MainWindow w;
    QKeyEvent event(QEvent::KeyPress, key, Qt::KeyboardModifiers(modifiers), text);
    StdoutRecorder tap;
    QVERIFY(tap.started);
    QApplication::sendEvent(&w, &event);
    QCOMPARE(tap.takeWithoutTestLog(), printed);
    // Consumed here: the event never travels on to a parent.
    QVERIFY(event.isAccepted());
}

void TestMainWindow::delayedShutdown()
{
    TestPackage package;
    MainWindow w;
    MainWindowTestAccess a(&w);
    a.tickTimer()->stop();
    a.isConnected() = true;
    a.ui()->serialConnectButton->setEnabled(false);
    QSignalSpy disconnectSpy(&w, SIGNAL(portDisconnect()));
    ModalAnswerer answerer;

    // Only the end of a run counts: a report of no run is not announced as a success.
    a.shutdownDelayed();
    QCOMPARE(a.shutdownTicks(), 0);
    a.runAt(4);
    a.shutdownDelayed();
    for (int tick = 0; tick < 100; ++tick)
        a.timerSlot();
    a.runAt(4);
    a.shutdownDelayed(); // the end of a later run restarts the countdown
    for (int tick = 1; tick < 250; ++tick)
        a.timerSlot();
    QCOMPARE(a.shutdownTicks(), 1);
    QCOMPARE(answerer.count(), 0);
    QCOMPARE(disconnectSpy.count(), 0);

    a.timerSlot(); // the 250th tick after the last signal
    QCOMPARE(disconnectSpy.count(), 1);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.last().title, QStringLiteral("Uploader"));
    QCOMPARE(answerer.last().icon, QMessageBox::Information);
    QCOMPARE(answerer.last().text,
             QStringLiteral("Operations are successfully terminated!\nPlease wait for the "
                            "completion of Device Update"));
    QVERIFY(!a.tickTimer()->isActive());
    QVERIFY(!a.isConnected());
    QVERIFY(a.ui()->serialConnectButton->isEnabled());
    // The application was asked to quit: a new event loop ends at once.
    QEventLoop loop;
    QTimer::singleShot(5000, &loop, [&loop] { loop.exit(1); });
    QCOMPARE(loop.exec(), -1);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
