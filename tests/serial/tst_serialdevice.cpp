// The port on a simulated USB serial device: the branches a pseudo-terminal never takes (modem
// lines, an output queue that does not drain, failing and vanishing devices, interrupted calls).
// One table row per device behaviour.
#include "devicerows.h"
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

SimDevice::Behaviour behaviourOf(const DeviceRows::Device& device)
{
    SimDevice::Behaviour b;
    b.modemLines = device.modemLines;
    b.modemWait = device.modemWait;
    b.outCapacity = device.outCapacity;
    b.drainPerMs = device.drainPerMs;
    b.eintr = device.interruptedCalls;
    return b;
}

static_assert(int(DeviceRows::Rate14400) == int(Baud14400) &&
                  int(DeviceRows::Rate56000) == int(Baud56000) &&
                  int(DeviceRows::Rate115200) == int(Baud115200) &&
                  int(DeviceRows::Rate128000) == int(Baud128000) &&
                  int(DeviceRows::Rate256000) == int(Baud256000),
              "the rows' rate settings are the port's codes");

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
    for (const DeviceRows::TransferRow& row : DeviceRows::transferRows)
        QTest::newRow(row.name) << behaviourOf(row.device) << row.toggleLines;
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
    // The steps are the simulated device's: 1 open, 2 flock, 3 tcgetattr, 4 tcsetattr, 5 eventfd.
    for (const DeviceRows::OpenFailureRow& row : DeviceRows::openFailureRows)
        QTest::newRow(row.name) << int(row.step) << row.vanished;
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
    for (const DeviceRows::WriteFailureRow& row : DeviceRows::writeFailureRows)
        QTest::newRow(row.name) << row.failAfter
                                << (row.error == DeviceRows::WriteGone ? EIO : ENOBUFS)
                                << qint64(row.firstResult) << row.healsAndRetries;
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
    for (const DeviceRows::CloseBoundedRow& row : DeviceRows::closeBoundedRows)
        QTest::newRow(row.name) << behaviourOf(row.device) << row.vanishFirst
                                << row.outputDiscarded;
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
    for (const DeviceRows::DeviceVanishesRow& row : DeviceRows::deviceVanishesRows)
        QTest::newRow(row.name) << row.duringRead;
}

// A vanished device fails reads and writes, keeps what had arrived, and still closes.
void TestSerialDevice::deviceVanishes()
{
    QFETCH(bool, duringRead);
    SimDevice dev(DevicePath, behaviourOf(DeviceRows::usbDevice()));
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
    for (const DeviceRows::IdleRow& row : DeviceRows::idleRows)
        QTest::newRow(row.name) << behaviourOf(row.device) << row.pendingOutput
                                << (row.dsrReported ? QList<bool>{true, false} : QList<bool>());
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
    for (const DeviceRows::LinesAfterOpenRow& row : DeviceRows::linesAfterOpenRows)
        QTest::newRow(row.name) << row.rate << int(row.hardwareFlow ? FlowHardware : FlowOff)
                                << row.lineRate << row.rts;
}

// What the line shows after open: the rate of the table (any rate), DTR raised, RTS as the
// flow control gives.
void TestSerialDevice::linesAfterOpen()
{
    QFETCH(int, rate);
    QFETCH(int, flow);
    QFETCH(uint, lineRate);
    QFETCH(bool, rts);
    SimDevice dev(DevicePath, behaviourOf(DeviceRows::usbDevice()));
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
