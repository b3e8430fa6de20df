// The worker on a real line: a pseudo-terminal stands in for the console, the worker runs in a
// thread of its own as it does in the program.
#include "ptypair.h"
#include "qextserialport.h"
#include "stdouttofile.h"
#include "ymodem.h"
#include "ymodemtestaccess.h"

#include <QElapsedTimer>
#include <QMutex>
#include <QSignalSpy>
#include <QThread>
#include <QtTest>
#include <functional>
#include <sys/resource.h>
#include <unistd.h>

namespace
{

// Collects every message of the Qt log while it lives.
class MessageLog
{
public:
    MessageLog()
    {
        instance = this;
        previous = qInstallMessageHandler(&MessageLog::handler);
    }
    ~MessageLog()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    QStringList warnings() const
    {
        QMutexLocker lock(&mutex);
        return warned;
    }
    QStringList debugs() const
    {
        QMutexLocker lock(&mutex);
        return debugged;
    }

private:
    static void handler(QtMsgType type, const QMessageLogContext&, const QString& text)
    {
        QMutexLocker lock(&instance->mutex);
        (type == QtDebugMsg || type == QtInfoMsg ? instance->debugged : instance->warned) << text;
    }
    static MessageLog* instance;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList warned;
    QStringList debugged;
};
MessageLog* MessageLog::instance = nullptr;

} // namespace

class TestWorkerPort : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void connectTwice();
    void badNameThenGoodName();
    void disconnect_data();
    void disconnect();
    void captureOverflow_data();
    void captureOverflow();
    void captureOffStoresNothing();
    void readSilentLine();
    void readByte_data();
    void readByte();
    void readWithoutPort();
    void writeAndFlush();
    void vanishedDevice();
    void shutdown_data();
    void shutdown();

private:
    void onWorker(const std::function<void()>& f)
    {
        QMetaObject::invokeMethod(worker, f, Qt::BlockingQueuedConnection);
    }
    void connectPort(const QString& name)
    {
        onWorker([this, name] { worker->ySerialConnect(name); });
    }
    int read(char& c)
    {
        int r = 0;
        onWorker([&] { r = worker->yTransmitRead(c, 1000); });
        return r;
    }
    qint64 waiting() { return worker->serialPort()->bytesAvailable(); }
    // Counts the port's input reports; connected after the worker's own slot, so a count
    // taken means that slot has run.
    void countReports()
    {
        reports.storeRelease(0);
        QObject::connect(
            worker->serialPort(), &QIODevice::readyRead, worker, [this] { ++reports; },
            Qt::DirectConnection);
    }
    QAtomicInt reports;
    bool reopenable()
    {
        QextSerialPort other(pty->slavePath(), EventIo);
        const bool ok = other.open(QIODevice::ReadWrite | QIODevice::Unbuffered);
        other.close();
        return ok;
    }

    PtyPair* pty = nullptr;
    QThread* thread = nullptr;
    YMODEM* worker = nullptr;
    QSignalSpy* connected = nullptr;
    MessageLog* log = nullptr;
};

void TestWorkerPort::init()
{
    log = new MessageLog;
    pty = new PtyPair;
    QVERIFY2(pty->isValid(), qPrintable(pty->errorString()));
    thread = new QThread;
    worker = new YMODEM;
    worker->moveToThread(thread);
    connected = new QSignalSpy(worker, SIGNAL(serialConnected(int)));
    thread->start();
}

void TestWorkerPort::cleanup()
{
    delete connected;
    connected = nullptr;
    if (worker) {
        QVERIFY(worker->stopThread());
        delete worker;
        worker = nullptr;
    }
    delete thread;
    thread = nullptr;
    delete pty;
    pty = nullptr;
    // Nothing the worker does on these paths may warn (timers, closed devices, threads).
    const QStringList warnings = log->warnings();
    delete log;
    log = nullptr;
    QCOMPARE(warnings, QStringList());
}

static QList<int> codes(const QSignalSpy& spy)
{
    QList<int> out;
    for (const QList<QVariant>& args : spy)
        out << args.at(0).toInt();
    return out;
}

void TestWorkerPort::connectTwice()
{
    connectPort(pty->slavePath());
    QCOMPARE(codes(*connected), QList<int>{0});
    QextSerialPort* first = worker->serialPort();
    QVERIFY(first && first->isOpen());
    QCOMPARE(int(first->openMode()), 35);
    QCOMPARE(int(first->baudRate()), 0x20000);
    QCOMPARE(first->dataBits(), Data8);
    QCOMPARE(first->parity(), ParityNone);
    QCOMPARE(first->stopBits(), Stop1);
    QCOMPARE(first->flowControl(), FlowOff);
    QCOMPARE(first->timeout(), 100L);

    StdoutToFile out;
    connectPort(pty->slavePath());
    QCOMPARE(out.contents(), QByteArray("ySerialConnect: port is opened, no operation.\r\n"));
    QCOMPARE(codes(*connected), QList<int>{0});
    QCOMPARE(worker->serialPort(), first);
}

void TestWorkerPort::badNameThenGoodName()
{
    connectPort("/dev/no-such-console-port");
    QCOMPARE(codes(*connected), QList<int>{-1});
    QVERIFY(worker->serialPort());
    QVERIFY(!worker->serialPort()->isOpen());

    connectPort(pty->slavePath());
    QCOMPARE(codes(*connected), (QList<int>{-1, 0}));
    QVERIFY(worker->serialPort()->isOpen());
}

void TestWorkerPort::disconnect_data()
{
    QTest::addColumn<bool>("withPort");
    QTest::newRow("no port") << false;
    QTest::newRow("open port") << true;
}

void TestWorkerPort::disconnect()
{
    QFETCH(bool, withPort);
    if (withPort)
        connectPort(pty->slavePath());
    connected->clear();

    QMetaObject::invokeMethod(worker, "serialDisconnect", Qt::BlockingQueuedConnection);
    QCOMPARE(codes(*connected), withPort ? QList<int>{-2} : QList<int>{});
    QCOMPARE(worker->serialPort(), nullptr);
    QVERIFY(reopenable());

    QMetaObject::invokeMethod(worker, "serialDisconnect", Qt::BlockingQueuedConnection);
    QCOMPARE(codes(*connected), withPort ? QList<int>{-2} : QList<int>{});

    // A disconnected worker connects again.
    connectPort(pty->slavePath());
    QCOMPARE(connected->last().at(0).toInt(), 0);
}

void TestWorkerPort::captureOverflow_data()
{
    QTest::addColumn<int>("held");
    QTest::addColumn<int>("countAfter");
    QTest::addColumn<int>("leftInPort");
    QTest::newRow("16380 + 4 empties the buffer") << 16380 << 0 << 4;
    QTest::newRow("16379 + 4 stores the bytes") << 16379 << 16383 << 0;
}

void TestWorkerPort::captureOverflow()
{
    QFETCH(int, held);
    QFETCH(int, countAfter);
    QFETCH(int, leftInPort);

    connectPort(pty->slavePath());
    YmodemTestAccess::setRxCount(*worker, held);
    YmodemTestAccess::setRxCapture(*worker, 1);
    countReports();

    QVERIFY(pty->writeMaster("wxyz"));
    QTRY_VERIFY(reports.loadAcquire() > 0);
    QTRY_COMPARE(YmodemTestAccess::rxCount(*worker), countAfter);
    QCOMPARE(waiting(), qint64(leftInPort));
    if (countAfter > 0) {
        QCOMPARE(YmodemTestAccess::rxBytes(*worker, held, 4), QByteArray("wxyz"));
        return;
    }

    // The bytes left in the port come in with the next notification.
    QVERIFY(pty->writeMaster("!"));
    QTRY_COMPARE(YmodemTestAccess::rxCount(*worker), 5);
    QCOMPARE(YmodemTestAccess::rxBytes(*worker, 0, 5), QByteArray("wxyz!"));
    QCOMPARE(waiting(), qint64(0));
}

void TestWorkerPort::captureOffStoresNothing()
{
    connectPort(pty->slavePath());
    YmodemTestAccess::setRxCount(*worker, 7);
    countReports();

    QVERIFY(pty->writeMaster("abc"));
    QTRY_VERIFY(reports.loadAcquire() > 0);
    QTRY_COMPARE(waiting(), qint64(3));
    QCOMPARE(YmodemTestAccess::rxCount(*worker), 7);

    // The bytes are still there for the direct path.
    char c = 0;
    QByteArray got;
    for (int i = 0; i < 3; ++i) {
        QCOMPARE(read(c), 1);
        got += c;
    }
    QCOMPARE(got, QByteArray("abc"));
}

void TestWorkerPort::readSilentLine()
{
    connectPort(pty->slavePath());
    char c = 'x';
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(read(c), 0);
    const qint64 elapsed = clock.elapsed();
    QCOMPARE(c, '\0');
    // It waits its short time whatever wait value it is given (1000 here).
    QVERIFY2(elapsed >= 9, qPrintable(QString::number(elapsed)));
    QVERIFY2(elapsed < 900, qPrintable(QString::number(elapsed)));
}

void TestWorkerPort::readByte_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<int>("result");
    QTest::addColumn<char>("byte");
    QTest::newRow("NUL byte") << QByteArray(1, '\0') << 1 << '\0';
    QTest::newRow("empty port") << QByteArray() << 0 << '\0';
    QTest::newRow("letter") << QByteArray("Z") << 1 << 'Z';
    QTest::newRow("high byte") << QByteArray("\xff") << 1 << '\xff';
}

void TestWorkerPort::readByte()
{
    QFETCH(QByteArray, sent);
    QFETCH(int, result);
    QFETCH(char, byte);

    connectPort(pty->slavePath());
    if (!sent.isEmpty()) {
        QVERIFY(pty->writeMaster(sent));
        QTRY_COMPARE(waiting(), qint64(sent.size()));
    }
    char c = 'x';
    QCOMPARE(read(c), result);
    QCOMPARE(c, byte);
    QCOMPARE(waiting(), qint64(0));
}

void TestWorkerPort::readWithoutPort()
{
    char c = 'x';
    QCOMPARE(read(c), 0);
    QCOMPARE(c, '\0');
    onWorker([this] {
        worker->yTransmitWrite('A');
        worker->yTransmitFlushInput();
    });
}

void TestWorkerPort::writeAndFlush()
{
    connectPort(pty->slavePath());
    onWorker([this] {
        worker->yTransmitWrite('C');
        worker->yTransmitWrite('\0');
    });
    QCOMPARE(pty->readMaster(2), QByteArray("C\0", 2));

    QVERIFY(pty->writeMaster("stale reply"));
    QTRY_COMPARE(waiting(), qint64(11));
    onWorker([this] { worker->yTransmitFlushInput(); });
    QCOMPARE(waiting(), qint64(0));
    char c = 'x';
    QCOMPARE(read(c), 0);
}

static qint64 cpuMs()
{
    rusage use{};
    getrusage(RUSAGE_SELF, &use);
    return qint64(use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000 +
           (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000;
}

// The console is unplugged mid-conversation: reads report the failure after their pause, writes
// fail at once, nothing keeps a processor busy, and the port still closes.
void TestWorkerPort::vanishedDevice()
{
    connectPort(pty->slavePath());
    QVERIFY(pty->writeMaster("k"));
    char c = 'x';
    QCOMPARE(read(c), 1);
    QCOMPARE(c, 'k');
    pty->closeMaster();
    QTRY_COMPARE(waiting(), qint64(-1));

    c = 'x';
    QCOMPARE(read(c), -1);
    QCOMPARE(c, 'x');
    QVERIFY(log->debugs().contains("Port Closed"));
    qint64 written = 0;
    onWorker([&] {
        worker->yTransmitWrite('C');
        written = worker->serialPort()->write("block", 5);
    });
    QCOMPARE(written, qint64(-1));

    // Idle with the device gone: the monitor sleeps instead of chasing the hang-up.
    const qint64 before = cpuMs();
    QTest::qWait(500);
    const qint64 used = cpuMs() - before;
    QVERIFY2(used < 250, qPrintable(QString("%1 ms of processor time").arg(used)));

    connected->clear();
    QMetaObject::invokeMethod(worker, "serialDisconnect", Qt::BlockingQueuedConnection);
    QCOMPARE(codes(*connected), QList<int>{-2});
    QCOMPARE(worker->serialPort(), nullptr);
}

void TestWorkerPort::shutdown_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("stopThread, then delete") << "stopThread";
    QTest::newRow("owner quits the thread, then delete") << "quit";
    QTest::newRow("delete while the thread runs") << "delete";
    QTest::newRow("delete while initThread sleeps") << "initThread";
}

void TestWorkerPort::shutdown()
{
    QFETCH(QString, how);
    connectPort(pty->slavePath());
    // Data streaming in while the thread ends must not disturb it.
    QVERIFY(pty->writeMaster(QByteArray(64, 'q')));
    // A changed status line sets the worker's timer going in the worker's thread.
    QSignalSpy ticks(worker, SIGNAL(setFirmwareUploadStatus(QString)));
    QMetaObject::invokeMethod(
        worker, [this] { YmodemTestAccess::setStatus(*worker, "ticking"); },
        Qt::BlockingQueuedConnection);
    QTRY_VERIFY(ticks.count() > 1);

    if (how == "initThread") {
        QMetaObject::invokeMethod(worker, "initThread", Qt::QueuedConnection);
        QTRY_VERIFY(YmodemTestAccess::runFlag(*worker));
    } else if (how == "stopThread") {
        QVERIFY(worker->stopThread());
        QVERIFY(thread->isFinished());
        QCOMPARE(worker->serialPort(), nullptr);
    } else if (how == "quit") {
        thread->quit();
        QVERIFY(thread->wait(5000));
        QCOMPARE(worker->serialPort(), nullptr);
    }
    delete connected;
    connected = nullptr;
    delete worker;
    worker = nullptr;
    QVERIFY(thread->isFinished());

    QCOMPARE(log->warnings(), QStringList());
    QVERIFY(log->debugs().contains("Distructor istantiated"));
    QVERIFY(reopenable());
}

QTEST_GUILESS_MAIN(TestWorkerPort)
#include "tst_workerport.moc"
