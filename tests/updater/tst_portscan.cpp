#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "../common/modalanswerer.h"
#include "mainwindowtestaccess.h"
#include "portlister.h"
#include "ptypair.h"
#include "serialdevicewatcher.h"
#include "serialportcache.h"
#include "testpackage.h"

#include <QSerialPortInfo>
#include <QtTest>

namespace
{
const char* const console = "STMicroelectronics.";

// The entries of the port list that stand for the given locations, as "text|location", in
// list order.
QStringList entriesFor(QComboBox* box, const QStringList& locations)
{
    QStringList out;
    for (int i = 0; i < box->count(); ++i) {
        const QString location = box->itemData(i, Qt::UserRole).toString();
        if (locations.contains(location))
            out << box->itemText(i) + QLatin1Char('|') + location;
    }
    return out;
}

// The system's ports as "location|manufacturer", from the given list.
QStringList describe(const QList<QSerialPortInfo>& infos)
{
    QStringList out;
    for (const QSerialPortInfo& info : infos)
        out << info.systemLocation() + QLatin1Char('|') + info.manufacturer();
    return out;
}

void offerPorts(const QString& portList)
{
    qputenv(PortLister::ExtraPortsVariable, portList.toLocal8Bit());
}

// Stand-ins for devices: ports are listed only while their path exists.
QTemporaryDir devices;

QString device(const QString& name)
{
    return devices.filePath(name);
}

void plugIn(const QString& name)
{
    QVERIFY(QDir().mkpath(QFileInfo(device(name)).path()));
    QFile f(device(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
}
} // namespace

class TestPortScan : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void parseExtraPorts_data();
    void parseExtraPorts();
    void extraPortsFollowTheSystemList();
    void systemListKeptUntilDevicesChange();
    void detection_data();
    void detection();
    void refreshButtonIdleWithoutImage();
    void connectAndDisconnect();
    void openFailure();
    void otherConnectionResult();
};

void TestPortScan::initTestCase()
{
    QVERIFY(devices.isValid());
    for (const char* name : {"fake-a", "fake-b", "fake-c", "acm/ttyACM1", "acm/ttyACM0", "ttyS9"})
        plugIn(name);
    QVERIFY(QDir().mkpath(device("empty")));
    QVERIFY(QFile::link(device("gone"), device("acm/ttyACM2"))); // a device that went
    QVERIFY(QFile::link(device("fake-b"), device("link-b")));
}

void TestPortScan::cleanup()
{
    qunsetenv(PortLister::ExtraPortsVariable);
}

void TestPortScan::parseExtraPorts_data()
{
    QTest::addColumn<QString>("portList");
    QTest::addColumn<QStringList>("ports"); // name|location|manufacturer

    QTest::newRow("empty") << QString() << QStringList{};
    QTest::newRow("two ports") << "/dev/pts/5=STMicroelectronics.;/tmp/ttyX=Other"
                               << QStringList{"pts/5|/dev/pts/5|STMicroelectronics.",
                                              "/tmp/ttyX|/tmp/ttyX|Other"};
    QTest::newRow("no manufacturer") << "/dev/ttyUSB3" << QStringList{"ttyUSB3|/dev/ttyUSB3|"};
    QTest::newRow("manufacturer kept as written")
        << "/dev/pts/2= STMicroelectronics. "
        << QStringList{"pts/2|/dev/pts/2| STMicroelectronics. "};
    QTest::newRow("empty entries skipped")
        << ";;/dev/pts/1=A;=B;" << QStringList{"pts/1|/dev/pts/1|A"};
}

void TestPortScan::parseExtraPorts()
{
    QFETCH(QString, portList);
    QFETCH(QStringList, ports);
    QStringList out;
    for (const PortLister::Port& p : PortLister::parseExtraPorts(portList))
        out << p.portName + '|' + p.systemLocation + '|' + p.manufacturer;
    QCOMPARE(out, ports);
}

void TestPortScan::extraPortsFollowTheSystemList()
{
    offerPorts(device("fake-a") + "=X;" + device("fake-b") + "=Y");
    const QList<PortLister::Port> ports = PortLister::availablePorts();
    QVERIFY(ports.size() >= 2);
    QCOMPARE(ports.at(ports.size() - 2).systemLocation, device("fake-a"));
    QCOMPARE(ports.last().systemLocation, device("fake-b"));
    QCOMPARE(ports.last().manufacturer, QStringLiteral("Y"));
}

void TestPortScan::systemListKeptUntilDevicesChange()
{
    // The kept list is the system's own, the same in every thread that reads it at once.
    const QStringList fresh = describe(QSerialPortInfo::availablePorts());
    QCOMPARE(describe(SerialPortCache::availablePorts()), fresh);
    QVector<QStringList> seen(4);
    QList<QThread*> readers;
    for (int i = 0; i < seen.size(); ++i) {
        readers << QThread::create([&seen, i] {
            for (int n = 0; n < 50; ++n)
                seen[i] = describe(SerialPortCache::availablePorts());
        });
        readers.last()->start();
    }
    for (QThread* reader : readers) {
        QVERIFY(reader->wait(30000));
        delete reader;
    }
    for (const QStringList& list : seen)
        QCOMPARE(list, fresh);

    // It is read again only when the devices may have changed: with nothing plugged in or out
    // between two questions, the second is answered "no change".
    SerialDeviceWatcher watcher;
    if (!watcher.usesMonitor() && !QFileInfo::exists("/sys/class/tty"))
        QSKIP("neither udev nor the system's tty list: every scan reads the ports");
    QVERIFY(watcher.takeChange());
    QVERIFY(!watcher.takeChange());
}

void TestPortScan::detection_data()
{
    QTest::addColumn<QString>("portList");
    QTest::addColumn<bool>("image");
    QTest::addColumn<bool>("enableUpdate");
    QTest::addColumn<QStringList>("entries"); // the offered ports in list order
    QTest::addColumn<int>("consoles");        // how many of them sit at the very top
    QTest::addColumn<QString>("label");
    QTest::addColumn<bool>("detected");

    const QString a = device("fake-a"), b = device("fake-b"), c = device("fake-c");
    const QString acm = device("acm"), acm0 = device("acm/ttyACM0"), acm1 = device("acm/ttyACM1");
    const QString gone = device("gone"), linkB = device("link-b"), acm2 = device("acm/ttyACM2");
    QTest::newRow("one console among others")
        << QString("%1=Other;%2=%3").arg(a, b, console) << true << true
        << QStringList{"BRENVIK - " + b + "|" + b, a + "|" + a} << 1 << "Brenvik Device Detected"
        << true;
    QTest::newRow("a console that went is not listed")
        << QString("%1=%3;%2=Other").arg(gone, a, console) << true << true
        << QStringList{a + "|" + a} << 0 << "Please Connect Brenvik Device" << false;
    QTest::newRow("a link whose device went is not listed")
        << QString("%1=%2;%3=%2").arg(acm2, console, linkB) << true << true
        << QStringList{"BRENVIK - " + linkB + "|" + linkB} << 1 << "Brenvik Device Detected"
        << true;
    QTest::newRow("a folder lists what is in it, by name")
        << QString("%1=%2;%3=Other").arg(acm, console, a) << true << true
        << QStringList{"BRENVIK - ttyACM1|" + acm1, "BRENVIK - ttyACM0|" + acm0, a + "|" + a} << 2
        << "Brenvik Device Detected" << true;
    QTest::newRow("an empty folder lists nothing")
        << QString("%1=%2").arg(device("empty"), console) << true << true << QStringList{} << 0
        << "Please Connect Brenvik Device" << false;
    QTest::newRow("manufacturer without the full stop")
        << QString("%1=STMicroelectronics").arg(a) << true << true << QStringList{a + "|" + a} << 0
        << "Please Connect Brenvik Device" << false;
    QTest::newRow("two consoles: reverse order, on top")
        << QString("%1=%4;%2=Other;%3=%4").arg(a, b, c, console) << true << true
        << QStringList{"BRENVIK - " + c + "|" + c, "BRENVIK - " + a + "|" + a, b + "|" + b} << 2
        << "Brenvik Device Detected" << true;
    QTest::newRow("console, but no update asked")
        << QString("%1=%2").arg(a, console) << true << false
        << QStringList{"BRENVIK - " + a + "|" + a} << 1 << "Brenvik Device Detected" << false;
    QTest::newRow("console, but no image")
        << QString("%1=%2").arg(a, console) << false << true
        << QStringList{"BRENVIK - " + a + "|" + a} << 1 << "Updater File Not Found" << false;
    QTest::newRow("no console") << QString() << true << true << QStringList{} << 0
                                << "Please Connect Brenvik Device" << false;
}

void TestPortScan::detection()
{
    QFETCH(QString, portList);
    QFETCH(bool, image);
    QFETCH(bool, enableUpdate);
    QFETCH(QStringList, entries);
    QFETCH(int, consoles);
    QFETCH(QString, label);
    QFETCH(bool, detected);

    TestPackage package;
    if (image) {
        QVERIFY(package.write("versions.ini", "[Versions]\nFull=v12.00\n"));
        QVERIFY(package.makeImage("brenvik_fs.iso"));
    }
    MainWindow w;
    MainWindowTestAccess a(&w);
    QComboBox* box = a.ui()->serialCombobox;
    box->addItem("stale", "/tmp/stale");
    box->setCurrentIndex(box->count() - 1);

    offerPorts(portList);
    QSignalSpy detectedSpy(&w, SIGNAL(deviceDetected(bool)));
    w.refreshSerialDevices(enableUpdate);

    QCOMPARE(detectedSpy.count(), 1);
    QCOMPARE(detectedSpy.at(0).at(0).toBool(), detected);
    QCOMPARE(w.detectionLabel->text(), label);
    QCOMPARE(box->findData("/tmp/stale"), -1);
    QCOMPARE(entriesFor(box, {device("fake-a"), device("fake-b"), device("fake-c"), device("gone"),
                              device("link-b"), device("acm/ttyACM0"), device("acm/ttyACM1"),
                              device("acm/ttyACM2")}),
             entries);
    for (int i = 0; i < consoles; ++i)
        QVERIFY(box->itemText(i).startsWith("BRENVIK - "));
    QCOMPARE(box->currentIndex(), box->count() > 0 ? 0 : -1);
}

void TestPortScan::refreshButtonIdleWithoutImage()
{
    TestPackage package; // no image
    offerPorts(QString("%1=%2").arg(device("fake-a"), console));
    MainWindow w;
    MainWindowTestAccess a(&w);
    const int before = a.ui()->serialCombobox->count();

    offerPorts(QString("%1=%2;%3=Other").arg(device("fake-a"), console, device("fake-b")));
    QSignalSpy detectedSpy(&w, SIGNAL(deviceDetected(bool)));
    a.ui()->refreshButton->click();
    QCOMPARE(detectedSpy.count(), 0);
    QCOMPARE(a.ui()->serialCombobox->count(), before);

    // With an image the same button rescans.
    a.updaterFileMissing() = false;
    a.ui()->refreshButton->click();
    QCOMPARE(detectedSpy.count(), 1);
    QCOMPARE(a.ui()->serialCombobox->count(), before + 1);
}

void TestPortScan::connectAndDisconnect()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    TestPackage package;
    QVERIFY(package.write("versions.ini", "[Versions]\nFull=v12.00\n"));
    QVERIFY(package.makeImage("brenvik_fs.iso"));
    offerPorts(QString("%1=%2").arg(pty.slavePath(), console));
    MainWindow w;
    MainWindowTestAccess a(&w);
    // Nobody answers on the pseudo-terminal; the request is only observed.
    disconnect(&w, SIGNAL(getFirmwareUserData()), nullptr, nullptr);
    QSignalSpy userData(&w, SIGNAL(getFirmwareUserData()));
    QSignalSpy activeUpdate(&w, SIGNAL(activeUpdateSignal()));
    QSignalSpy connected(&w, SIGNAL(deviceConnected(int)));
    QSignalSpy detected(&w, SIGNAL(deviceDetected(bool)));
    QCOMPARE(a.ui()->serialCombobox->currentData().toString(), pty.slavePath());
    QCOMPARE(w.detectionLabel->text(), QStringLiteral("Brenvik Device Detected"));

    a.connectButtonClicked();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
    QCOMPARE(connected.at(0).at(0).toInt(), 0);
    QVERIFY(a.isConnected());
    QVERIFY(!a.ui()->serialConnectButton->isEnabled());
    QCOMPARE(userData.count(), 1);
    QCOMPARE(activeUpdate.count(), 0);
    QCOMPARE(w.detectionLabel->text(), QString());
    QCOMPARE(detected.count(), 1);
    QCOMPARE(detected.at(0).at(0).toBool(), false);

    a.tickTimer()->stop();
    w.disconnectDevice();
    QVERIFY(!a.isConnected()); // at once, before the worker answers
    QVERIFY(a.ui()->serialConnectButton->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 2, 10000);
    QCOMPARE(connected.at(1).at(0).toInt(), -2);
    QCOMPARE(w.connectionLabel->text(), QStringLiteral("Serial Port Diconnected"));
    QCOMPARE(w.connectionLabel->styleSheet(),
             QStringLiteral("QLabel { background-color : lightgreen; color : black; }"));

    // A later connection outside a run may lead to another console: it is read afresh, and the
    // update is offered only once it has answered.
    a.connectButtonClicked();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 3, 10000);
    QCOMPARE(connected.at(2).at(0).toInt(), 0);
    QCOMPARE(userData.count(), 2);
    QCOMPARE(activeUpdate.count(), 0);
    w.disconnectDevice();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 4, 10000);
}

void TestPortScan::openFailure()
{
    TestPackage package;
    QVERIFY(package.write("versions.ini", "[Versions]\nFull=v12.00\n"));
    QVERIFY(package.makeImage("brenvik_fs.iso"));
    // Listed, but no serial line: a plain file.
    offerPorts(QString("%1=%2").arg(device("ttyS9"), console));
    MainWindow w;
    MainWindowTestAccess a(&w);
    QSignalSpy connected(&w, SIGNAL(deviceConnected(int)));
    ModalAnswerer answerer;

    a.connectButtonClicked();
    QTRY_COMPARE_WITH_TIMEOUT(connected.count(), 1, 10000);
    QCOMPARE(connected.at(0).at(0).toInt(), -1);
    QCOMPARE(answerer.count(), 1);
    QCOMPARE(answerer.last().title, QStringLiteral("Error"));
    QCOMPARE(answerer.last().text, QStringLiteral("Could not open Serial Port."));
    QCOMPARE(answerer.last().icon, QMessageBox::Critical);
    QVERIFY(!a.isConnected());
    QVERIFY(a.ui()->serialConnectButton->isEnabled()); // the user may try again
}

void TestPortScan::otherConnectionResult()
{
    TestPackage package;
    MainWindow w;
    MainWindowTestAccess a(&w);
    a.tickTimer()->stop();
    QSignalSpy connected(&w, SIGNAL(deviceConnected(int)));
    QSignalSpy detected(&w, SIGNAL(deviceDetected(bool)));
    QSignalSpy userData(&w, SIGNAL(getFirmwareUserData()));
    const QString before = w.connectionLabel->text();

    a.serialConnected(5);
    QCOMPARE(w.detectionLabel->text(), QString());
    QCOMPARE(detected.count(), 1);
    QCOMPARE(detected.at(0).at(0).toBool(), false);
    QCOMPARE(connected.count(), 0);
    QCOMPARE(userData.count(), 0);
    QCOMPARE(w.connectionLabel->text(), before);
    QVERIFY(!a.isConnected());
}

QTEST_MAIN(TestPortScan)
#include "tst_portscan.moc"
