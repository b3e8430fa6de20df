// The port on a simulated USB serial device: the branches a pseudo-terminal never takes (modem
// lines, an output queue that does not drain, failing and vanishing devices, interrupted calls).
// One table row per device behaviour.
#include "qextserialport.h"
#include "simdevice.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QtTest>

#include <atomic>
#include <cerrno>

namespace
{

const QIODevice::OpenMode workerMode = QIODevice::ReadWrite | QIODevice::Unbuffered;
const int Long = 15000;
const char* const DevicePath = "/sim/ttyACM0";
// close() waits about 2 s for output; anything near the kernel's 30 s closing wait is a hang.
const int CloseBoundMs = 6000;

QByteArray pattern(int size, int seed)
{
    QByteArray out(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        out[i] = char((i * 31 + seed) & 0xff);
    return out;
}

// Takes what arrives like the worker's receive slot, and counts what the port reports.
struct Recorder {
    QMutex lock;
    QByteArray received;
    std::atomic<qint64> written{0};
    std::atomic<int> readFailures{0};
    QList<bool> dsr;

    void attach(QextSerialPort* port)
    {
        QObject::connect(
            port, &QIODevice::readyRead, port,
            [this, port] {
                const qint64 n = port->bytesAvailable();
                if (n < 0)
                    ++readFailures;
                if (n <= 0)
                    return;
                QByteArray chunk(int(n), Qt::Uninitialized);
                const qint64 got = port->read(chunk.data(), n);
                QMutexLocker l(&lock);
                if (got > 0)
                    received.append(chunk.constData(), int(got));
            },
            Qt::DirectConnection);
        QObject::connect(
            port, &QIODevice::bytesWritten, port, [this](qint64 n) { written += n; },
            Qt::DirectConnection);
        QObject::connect(
            port, &QextSerialBase::dsrChanged, port,
            [this](bool on) {
                QMutexLocker l(&lock);
                dsr.append(on);
            },
            Qt::DirectConnection);
    }
    int receivedSize()
    {
        QMutexLocker l(&lock);
        return received.size();
    }
    QList<bool> dsrSeen()
    {
        QMutexLocker l(&lock);
        return dsr;
    }
};

SimDevice::Behaviour usbDevice()
{
    SimDevice::Behaviour b;
    b.modemLines = true;
    b.modemWait = true;
    b.outCapacity = 4096;
    b.drainPerMs = 1000; // about 1 MB/s
    return b;
}

} // namespace

Q_DECLARE_METATYPE(SimDevice::Behaviour)

class TestSerialDevice : public QObject
{
    Q_OBJECT

private slots:
    void transfer_data();
    void transfer();
    void openFailures_data();
    void openFailures();
    void writeFailure_data();
    void writeFailure();
    void closeBounded_data();
    void closeBounded();
    void deviceVanishes_data();
    void deviceVanishes();
    void idleWithoutPolling_data();
    void idleWithoutPolling();
    void linesAfterOpen_data();
    void linesAfterOpen();
};

void TestSerialDevice::transfer_data()
{
    QTest::addColumn<SimDevice::Behaviour>("behaviour");
    QTest::addColumn<bool>("toggleLines");
    SimDevice::Behaviour plain;
    QTest::newRow("pseudo-terminal-like device") << plain << false;
    SimDevice::Behaviour eintr;
    eintr.eintr = true;
    QTest::newRow("every call interrupted once") << eintr << false;
    SimDevice::Behaviour slow = usbDevice();
    slow.drainPerMs = 64;
    QTest::newRow("output queue drains slowly") << slow << false;
    SimDevice::Behaviour usb = usbDevice();
    usb.eintr = true;
    QTest::newRow("USB device, lines changing, calls interrupted") << usb << true;
}

// Bytes go both ways exactly once, in order, whatever the device does in between.
void TestSerialDevice::transfer()
{
    QFETCH(SimDevice::Behaviour, behaviour);
    QFETCH(bool, toggleLines);
    SimDevice dev(DevicePath, behaviour);
    Recorder rec;
    {
        QextSerialPort port(DevicePath, EventIo);
        rec.attach(&port);
        QVERIFY2(port.open(workerMode), qPrintable(port.errorString()));
        const QByteArray out = pattern(64 * 1024, 1);
        const QByteArray in = pattern(48 * 1024, 2);
        for (int i = 0; i < out.size(); i += 1024) {
            QCOMPARE(port.write(out.constData() + i, 1024), qint64(1024));
            dev.push(in.mid(i * 3 / 4, 768));
            if (toggleLines)
                dev.setModemLines(i % 2048 == 0, i % 3072 == 0);
        }
        if (toggleLines)
            dev.setModemLines(true, true);
        QTRY_COMPARE_WITH_TIMEOUT(rec.receivedSize(), in.size(), Long);
        QTRY_COMPARE_WITH_TIMEOUT(qint64(rec.written), qint64(out.size()), Long);
        QCOMPARE(port.bytesToWrite(), qint64(0));
        QVERIFY(dev.line() == out);
        QVERIFY(rec.received == in);
        if (toggleLines)
            QTRY_VERIFY_WITH_TIMEOUT(!rec.dsrSeen().isEmpty() && rec.dsrSeen().last(), Long);
        port.close();
    }
    QCOMPARE(dev.openHandles(), 0);
}

void TestSerialDevice::openFailures_data()
{
    QTest::addColumn<int>("failStep");
    QTest::addColumn<bool>("vanished");
    QTest::newRow("device cannot be opened") << 1 << false;
    QTest::newRow("device in use") << 2 << false;
    QTest::newRow("settings cannot be read") << 3 << false;
    QTest::newRow("settings refused") << 4 << false;
    QTest::newRow("wake-up handle cannot be made") << 5 << false;
    QTest::newRow("device unplugged") << 0 << true;
}

// Every failed open leaves the port closed and the device released; the next open works.
void TestSerialDevice::openFailures()
{
    QFETCH(int, failStep);
    QFETCH(bool, vanished);
    SimDevice::Behaviour b;
    b.failOpenStep = failStep;
    SimDevice dev(DevicePath, b);
    if (vanished)
        dev.vanish();
    QextSerialPort port(DevicePath, EventIo);
    if (failStep == 5)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Failed to set Comm Mask"));
    QVERIFY(!port.open(workerMode));
    QVERIFY(!port.isOpen());
    QCOMPARE(dev.openHandles(), 0);
    QVERIFY(port.errorString().startsWith(DevicePath));
    QCOMPARE(port.write("x"), qint64(-1));

    if (failStep == 5) {
        // The failure was passing: the same object opens and its monitor runs.
        Recorder rec;
        rec.attach(&port);
        QVERIFY(port.open(workerMode));
        dev.push("ok");
        QTRY_COMPARE_WITH_TIMEOUT(rec.receivedSize(), 2, Long);
        port.close();
        QCOMPARE(dev.openHandles(), 0);
    }
}

void TestSerialDevice::writeFailure_data()
{
    QTest::addColumn<int>("failAfter");
    QTest::addColumn<int>("error");
    QTest::addColumn<qint64>("firstResult");
    QTest::addColumn<bool>("healsAndRetries");
    QTest::newRow("EIO half-way") << 1000 << EIO << qint64(1000) << false;
    QTest::newRow("EIO before the first byte") << 0 << EIO << qint64(-1) << false;
    QTest::newRow("passing error half-way, caller retries the rest")
        << 1000 << ENOBUFS << qint64(1000) << true;
    QTest::newRow("passing error at once, caller retries all")
        << 0 << ENOBUFS << qint64(-1) << true;
}

// -1 means none of the call's bytes were queued; nothing reaches the line twice.
void TestSerialDevice::writeFailure()
{
    QFETCH(int, failAfter);
    QFETCH(int, error);
    QFETCH(qint64, firstResult);
    QFETCH(bool, healsAndRetries);
    SimDevice::Behaviour b;
    b.writeFailsAfter = failAfter;
    b.failErrno = error;
    SimDevice dev(DevicePath, b);
    QextSerialPort port(DevicePath, EventIo);
    Recorder rec;
    rec.attach(&port);
    QVERIFY(port.open(workerMode));
    const QByteArray out = pattern(4000, 3);
    const qint64 first = port.write(out);
    QCOMPARE(first, firstResult);
    const qint64 taken = qMax<qint64>(first, 0);
    QCOMPARE(port.bytesToWrite() + rec.written, taken);
    if (healsAndRetries) {
        dev.healWrites();
        QCOMPARE(port.write(out.mid(int(taken))), qint64(out.size()) - taken);
        QTRY_COMPARE_WITH_TIMEOUT(qint64(rec.written), qint64(out.size()), Long);
        QTest::qWait(50); // a wrongly kept copy would go out now
        QVERIFY(dev.line() == out);
    } else {
        QCOMPARE(port.write(out.mid(int(taken))), qint64(-1));
        QTest::qWait(50);
        QVERIFY(dev.line() == out.left(int(taken)));
    }
    port.close();
    QCOMPARE(dev.openHandles(), 0);
}

void TestSerialDevice::closeBounded_data()
{
    QTest::addColumn<SimDevice::Behaviour>("behaviour");
    QTest::addColumn<bool>("vanishFirst");
    QTest::addColumn<bool>("outputDiscarded");
    SimDevice::Behaviour never = usbDevice();
    never.outCapacity = 1 << 20;
    never.drainPerMs = 0;
    QTest::newRow("output queue never drains") << never << false << true;
    SimDevice::Behaviour slow = never;
    slow.drainPerMs = 1;
    QTest::newRow("output queue drains at 1 byte/ms") << slow << false << true;
    QTest::newRow("device vanishes with output queued") << never << true << false;
    SimDevice::Behaviour fast = usbDevice();
    QTest::newRow("output drains in time") << fast << false << false;
}

// close() returns within about 2 s whatever the device does, gives up what it cannot send and
// leaves the line without echo or line editing.
void TestSerialDevice::closeBounded()
{
    QFETCH(SimDevice::Behaviour, behaviour);
    QFETCH(bool, vanishFirst);
    QFETCH(bool, outputDiscarded);
    SimDevice dev(DevicePath, behaviour);
    QextSerialPort port(DevicePath, EventIo);
    QVERIFY(port.open(workerMode));
    const QByteArray out = pattern(64 * 1024, 4);
    QCOMPARE(port.write(out), qint64(out.size()));
    if (vanishFirst)
        dev.vanish();
    if (outputDiscarded)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("output not sent within"));
    QElapsedTimer timer;
    timer.start();
    port.close();
    const qint64 ms = timer.elapsed();
    QVERIFY2(ms < CloseBoundMs, qPrintable(QString::number(ms)));
    QVERIFY(!port.isOpen());
    QCOMPARE(dev.openHandles(), 0);
    QCOMPARE(dev.closeMs(), 0);
    QCOMPARE(dev.discarded() > 0, outputDiscarded);
    if (!vanishFirst)
        QCOMPARE(dev.line(), out);
    QCOMPARE(dev.settings().c_lflag & tcflag_t(ECHO | ICANON), tcflag_t(0));
}

void TestSerialDevice::deviceVanishes_data()
{
    QTest::addColumn<bool>("duringRead");
    QTest::newRow("during a read") << true;
    QTest::newRow("during a write") << false;
}

// A vanished device fails reads and writes, keeps what had arrived, and still closes.
void TestSerialDevice::deviceVanishes()
{
    QFETCH(bool, duringRead);
    SimDevice dev(DevicePath, usbDevice());
    QextSerialPort port(DevicePath, EventIo);
    Recorder rec;
    if (duringRead)
        rec.attach(&port);
    QVERIFY(port.open(workerMode));
    if (duringRead) {
        dev.push("abc");
        dev.vanish();
        QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(-1), Long);
        char c;
        QCOMPARE(port.read(&c, 1), qint64(-1));
        QVERIFY(rec.receivedSize() <= 3);
    } else {
        QCOMPARE(port.write(pattern(1024, 5)), qint64(1024));
        dev.vanish();
        QTRY_COMPARE_WITH_TIMEOUT(port.write("x"), qint64(-1), Long);
    }
    QElapsedTimer timer;
    timer.start();
    port.close();
    QVERIFY(timer.elapsed() < CloseBoundMs);
    QCOMPARE(dev.openHandles(), 0);
}

void TestSerialDevice::idleWithoutPolling_data()
{
    QTest::addColumn<SimDevice::Behaviour>("behaviour");
    QTest::addColumn<int>("pendingOutput");
    QTest::addColumn<QList<bool>>("dsrReports");
    const QList<bool> upDown{true, false};
    QTest::newRow("modem lines reported by the device") << usbDevice() << 0 << upDown;
    SimDevice::Behaviour noWait = usbDevice();
    noWait.modemWait = false;
    QTest::newRow("modem lines the device cannot report") << noWait << 0 << QList<bool>();
    SimDevice::Behaviour stuck = usbDevice();
    stuck.outCapacity = 1 << 20;
    stuck.drainPerMs = 0;
    QTest::newRow("output waiting in the device") << stuck << 4096 << upDown;
}

// An idle port sleeps: no periodic wake-ups for modem lines or for output the device holds, and
// DSR changes still reported as they happen.
void TestSerialDevice::idleWithoutPolling()
{
    QFETCH(SimDevice::Behaviour, behaviour);
    QFETCH(int, pendingOutput);
    QFETCH(QList<bool>, dsrReports);
    SimDevice dev(DevicePath, behaviour);
    QextSerialPort port(DevicePath, EventIo);
    Recorder rec;
    rec.attach(&port);
    QVERIFY(port.open(workerMode));
    if (pendingOutput) {
        QCOMPARE(port.write(pattern(pendingOutput, 6)), qint64(pendingOutput));
        // Taken by the device: reported although it has not left the device yet.
        QTRY_COMPARE_WITH_TIMEOUT(qint64(rec.written), qint64(pendingOutput), Long);
    }
    QTest::qWait(100);
    const int waits = dev.waitCalls();
    const int reads = dev.modemReads();
    QTest::qWait(500);
    QVERIFY2(dev.waitCalls() - waits <= 1, qPrintable(QString::number(dev.waitCalls() - waits)));
    QCOMPARE(dev.modemReads(), reads);

    dev.setModemLines(true, false);
    QTest::qWait(100);
    dev.setModemLines(true, true); // CTS alone: DSR unchanged, nothing to report
    QTest::qWait(100);
    dev.setModemLines(false, true);
    if (!dsrReports.isEmpty())
        QTRY_COMPARE_WITH_TIMEOUT(rec.dsrSeen(), dsrReports, Long);
    QTest::qWait(100);
    QCOMPARE(rec.dsrSeen(), dsrReports);
    QCOMPARE(port.lineStatus() & (LineDsr | LineCts), ulong(LineCts));

    if (pendingOutput)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("output not sent within"));
    QElapsedTimer timer;
    timer.start();
    port.close(); // also ends the wait for modem-line changes
    QVERIFY(timer.elapsed() < CloseBoundMs);
    QCOMPARE(dev.openHandles(), 0);
}

void TestSerialDevice::linesAfterOpen_data()
{
    QTest::addColumn<int>("rate");
    QTest::addColumn<int>("flow");
    QTest::addColumn<uint>("lineRate");
    QTest::addColumn<bool>("rts");
    QTest::newRow("14400") << int(Baud14400) << int(FlowOff) << 14400u << false;
    QTest::newRow("56000") << int(Baud56000) << int(FlowOff) << 56000u << false;
    QTest::newRow("128000") << int(Baud128000) << int(FlowOff) << 128000u << false;
    QTest::newRow("256000") << int(Baud256000) << int(FlowOff) << 256000u << false;
    QTest::newRow("115200, hardware flow")
        << int(Baud115200) << int(FlowHardware) << 115200u << true;
    QTest::newRow("worker's 131072 keeps the rate") << 131072 << int(FlowOff) << 9600u << false;
}

// What the line shows after open: the rate of the table (any rate), DTR raised, RTS as the
// flow control gives.
void TestSerialDevice::linesAfterOpen()
{
    QFETCH(int, rate);
    QFETCH(int, flow);
    QFETCH(uint, lineRate);
    QFETCH(bool, rts);
    SimDevice dev(DevicePath, usbDevice());
    QextSerialPort port(DevicePath, EventIo);
    port.setBaudRate(BaudRateType(rate));
    port.setFlowControl(FlowControlType(flow));
    if (rate >= Baud14400 && rate <= Baud256000 && lineRate % 1200 != 0)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Portability Warning"));
    QVERIFY(port.open(workerMode));
    QCOMPARE(dev.rate(), lineRate);
    QVERIFY(dev.dtr());
    QCOMPARE(dev.rts(), rts);
    port.close();
}

QTEST_GUILESS_MAIN(TestSerialDevice)
#include "tst_serialdevice.moc"
