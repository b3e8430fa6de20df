// The port on a real pseudo-terminal: opening and closing, reads that never block, the monitor
// thread's notifications, and closing from every thread that may close it.
#include "ptypair.h"
#include "qextserialport.h"

#include <QMutex>
#include <QRandomGenerator>
#include <QThread>
#include <QtTest>

#include <atomic>
#include <thread>

namespace
{

const QIODevice::OpenMode workerMode = QIODevice::ReadWrite | QIODevice::Unbuffered;
const int Long = 15000; // generous bound for anything that should happen "soon"

QByteArray randomBytes(int size, quint32 seed)
{
    QByteArray out(size, Qt::Uninitialized);
    QRandomGenerator gen(seed);
    gen.fillRange(reinterpret_cast<quint32*>(out.data()), size / 4);
    return out;
}

// Records what the port emits, in the thread that emits it (direct connections).
struct Recorder {
    std::atomic<int> readyReads{0};
    std::atomic<qint64> written{0};
    std::atomic<int> writtenSignals{0};
    std::atomic<bool> foreignThread{false};
    QMutex lock;
    QByteArray received;

    QByteArray data()
    {
        QMutexLocker l(&lock);
        return received;
    }
    int size()
    {
        QMutexLocker l(&lock);
        return received.size();
    }

    // Counts notifications; with read set, takes everything waiting like the worker's receive
    // slot does (bytesAvailable(), then read()).
    void attach(QextSerialPort* port, bool read)
    {
        QThread* testThread = QThread::currentThread();
        QObject::connect(
            port, &QIODevice::readyRead, port,
            [this, port, read, testThread] {
                ++readyReads;
                if (QThread::currentThread() != testThread)
                    foreignThread = true;
                if (!read)
                    return;
                qint64 n = port->bytesAvailable();
                if (n <= 0)
                    return;
                QByteArray chunk(int(n), Qt::Uninitialized);
                qint64 got = port->read(chunk.data(), n);
                if (got > 0) {
                    QMutexLocker l(&lock);
                    received.append(chunk.constData(), int(got));
                }
            },
            Qt::DirectConnection);
        QObject::connect(
            port, &QIODevice::bytesWritten, port,
            [this](qint64 n) {
                written += n;
                ++writtenSignals;
            },
            Qt::DirectConnection);
    }
};

} // namespace

class TestSerialPort : public QObject
{
    Q_OBJECT

private slots:
    void openCloseReopen();
    void openFailures();
    void secondOpenerRefused();
    void readsNeverBlock();
    void bytesAvailableAndOrder();
    void readyReadInMonitorThread();
    void oneNotificationPerArrival();
    void bytesWrittenAfterWrites();
    void bulkBothWays();
    void closeFlushesQueuedOutput();
    void closeWithStuckOutput_data();
    void closeWithStuckOutput();
    void closeFromWorkerWhileStreaming();
    void closeInsideReadyReadSlot();
    void reopenInsideReadyReadSlot();
    void closeWhileMonitorReopens();
    void sizeWhileClosing();
    void otherEndClosesMidStream_data();
    void otherEndClosesMidStream();
    void polledMode();
    void modemLinesOnPseudoTerminal();
    void waitForReadyRead_data();
    void waitForReadyRead();
};

void TestSerialPort::openCloseReopen()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, true);

    QVERIFY(port.open(workerMode));
    QVERIFY(port.isOpen());
    QCOMPARE(int(port.openMode()), 35);
    // Opening an open port fails and changes nothing.
    QVERIFY(!port.open(QIODevice::ReadOnly));
    QVERIFY(port.isOpen());
    QCOMPARE(int(port.openMode()), 35);
    // NotOpen only asks.
    QVERIFY(port.open(QIODevice::NotOpen));

    QVERIFY(pty.writeMaster("one"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.data(), QByteArray("one"), Long);

    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(port.bytesAvailable(), qint64(0));
    port.close(); // closing twice is harmless
    QVERIFY(!port.open(QIODevice::NotOpen));

    // Re-opening starts the monitor again, on the same object, several times over.
    for (int round = 0; round < 3; ++round) {
        QVERIFY(port.open(workerMode));
        const QByteArray word = "again" + QByteArray::number(round);
        QVERIFY(pty.writeMaster(word));
        QTRY_VERIFY_WITH_TIMEOUT(rec.data().endsWith(word), Long);
        QCOMPARE(port.write("out"), qint64(3));
        QCOMPARE(pty.readMaster(3), QByteArray("out"));
        port.close();
        QVERIFY(!port.isOpen());
    }
    QVERIFY(rec.foreignThread);
}

void TestSerialPort::openFailures()
{
    QextSerialPort missing(QStringLiteral("/dev/no-such-serial-port"), EventIo);
    QVERIFY(!missing.open(workerMode));
    QVERIFY(!missing.isOpen());
    QVERIFY(!missing.errorString().isEmpty());
    QCOMPARE(missing.bytesAvailable(), qint64(0));
    QCOMPARE(missing.write("x"), qint64(-1));

    // Not a terminal: refused instead of a port that cannot be set up.
    QTemporaryFile file;
    QVERIFY(file.open());
    QextSerialPort plain(file.fileName(), EventIo);
    QVERIFY(!plain.open(workerMode));
    QVERIFY(!plain.isOpen());
    QVERIFY(!plain.errorString().isEmpty());
}

void TestSerialPort::secondOpenerRefused()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort first(pty.slavePath(), EventIo);
    QextSerialPort second(pty.slavePath(), EventIo);
    QVERIFY(first.open(workerMode));
    QVERIFY(!second.open(workerMode));
    QVERIFY(!second.isOpen());
    QVERIFY(!second.errorString().isEmpty());
    // The refused opener left the first one alone.
    QVERIFY(pty.writeMaster("still mine"));
    QTRY_COMPARE_WITH_TIMEOUT(first.bytesAvailable(), qint64(10), Long);
    QCOMPARE(first.readAll(), QByteArray("still mine"));

    first.close();
    QVERIFY(second.open(workerMode));
    QVERIFY(!first.open(workerMode));
    second.close();
}

void TestSerialPort::readsNeverBlock()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    port.setTimeout(100);
    QVERIFY(port.open(workerMode));
    char buf[64];
    for (int i = 0; i < 20; ++i)
        QCOMPARE(port.read(buf, sizeof buf), qint64(0));
    QCOMPARE(port.readAll(), QByteArray());
    QCOMPARE(port.bytesAvailable(), qint64(0));
    QCOMPARE(port.lastError(), ulong(ErrNone));
    QVERIFY(port.atEnd());
    // A byte that has arrived comes back at once, and then nothing again.
    QVERIFY(pty.writeMaster(QByteArray(1, '\0')));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(1), Long);
    QCOMPARE(port.size(), qint64(1));
    QCOMPARE(port.read(buf, sizeof buf), qint64(1));
    QCOMPARE(buf[0], '\0');
    QCOMPARE(port.read(buf, sizeof buf), qint64(0));
}

void TestSerialPort::bytesAvailableAndOrder()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    QVERIFY(port.open(workerMode));
    QVERIFY(pty.writeMaster("0123456789"));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(10), Long);
    QCOMPARE(static_cast<const QIODevice&>(port).bytesAvailable(), qint64(10));
    QCOMPARE(port.read(3), QByteArray("012"));
    QCOMPARE(port.bytesAvailable(), qint64(7));
    QVERIFY(pty.writeMaster("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(10), Long);
    QCOMPARE(port.readAll(), QByteArray("3456789abc"));
    QCOMPARE(port.bytesAvailable(), qint64(0));
}

void TestSerialPort::readyReadInMonitorThread()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, true);
    QVERIFY(port.open(workerMode));
    QVERIFY(pty.writeMaster("hello"));
    QTRY_COMPARE_WITH_TIMEOUT(rec.data(), QByteArray("hello"), Long);
    QVERIFY(rec.foreignThread);
    // The slot took everything: nothing left in the port.
    QCOMPARE(port.bytesAvailable(), qint64(0));
}

// Bytes nobody reads give one notification for their arrival, not a stream of them; the next
// arrival gives the next one, and nothing is lost in between.
void TestSerialPort::oneNotificationPerArrival()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, false);
    QVERIFY(port.open(workerMode));

    QVERIFY(pty.writeMaster("abcdef"));
    QTRY_VERIFY_WITH_TIMEOUT(rec.readyReads >= 1, Long);
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(6), Long);
    const int first = rec.readyReads;
    QTest::qWait(400);
    QCOMPARE(int(rec.readyReads), first);

    QVERIFY(pty.writeMaster("g"));
    QTRY_VERIFY_WITH_TIMEOUT(rec.readyReads > first, Long);
    const int second = rec.readyReads;
    QTest::qWait(200);
    QCOMPARE(int(rec.readyReads), second);
    // A reader that takes only part finds the rest by reading again.
    QCOMPARE(port.read(2), QByteArray("ab"));
    QCOMPARE(port.read(100), QByteArray("cdefg"));
}

void TestSerialPort::bytesWrittenAfterWrites()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, false);
    QVERIFY(port.open(workerMode));

    const QByteArray a(100, 'a'), b(50, 'b');
    QCOMPARE(port.write(a), qint64(100));
    QCOMPARE(port.write(b.constData(), b.size()), qint64(50));
    QTRY_COMPARE_WITH_TIMEOUT(qint64(rec.written), qint64(150), Long);
    QVERIFY(rec.writtenSignals >= 1 && rec.writtenSignals <= 2);
    QCOMPARE(port.bytesToWrite(), qint64(0));
    QCOMPARE(pty.readMaster(150), a + b);

    // Single-byte writes, as the senders make for CRC bytes.
    for (char c : QByteArray("xyz"))
        QCOMPARE(port.write(&c, 1), qint64(1));
    QTRY_COMPARE_WITH_TIMEOUT(qint64(rec.written), qint64(153), Long);
    QCOMPARE(pty.readMaster(3), QByteArray("xyz"));
    QTest::qWait(100);
    QCOMPARE(qint64(rec.written), qint64(153));
}

// 16 MiB each way through the port's own queues, with the receiving slot on the monitor thread
// and the sender writing block by block without waiting for the line.
void TestSerialPort::bulkBothWays()
{
    const int size = 16 * 1024 * 1024;
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, true);
    QVERIFY(port.open(workerMode));

    const QByteArray in = randomBytes(size, 1);
    std::atomic<bool> sent{false};
    std::thread writer([&] { sent = pty.writeMaster(in, 60000); });
    QTRY_VERIFY_WITH_TIMEOUT(rec.size() >= size, 60000);
    writer.join();
    QVERIFY(sent);
    QVERIFY(rec.data() == in);

    const QByteArray out = randomBytes(size, 2);
    QByteArray echoed;
    std::thread reader([&] { echoed = pty.readMaster(size, 60000); });
    for (int at = 0; at < size; at += 1024)
        QCOMPARE(port.write(out.constData() + at, 1024), qint64(1024));
    reader.join();
    QCOMPARE(echoed.size(), size);
    QVERIFY(echoed == out);
    QTRY_COMPARE_WITH_TIMEOUT(qint64(rec.written), qint64(size), Long);
    QCOMPARE(port.bytesToWrite(), qint64(0));
}

// What was written before close() reaches the line even when the device could not take it all
// at once.
void TestSerialPort::closeFlushesQueuedOutput()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    QVERIFY(port.open(workerMode));
    const QByteArray out = randomBytes(256 * 1024, 3);
    QByteArray echoed;
    std::thread reader([&] {
        QThread::msleep(100); // let the pseudo-terminal fill up first
        echoed = pty.readMaster(out.size(), 20000);
    });
    QCOMPARE(port.write(out), qint64(out.size()));
    port.close();
    reader.join();
    QVERIFY(!port.isOpen());
    QCOMPARE(echoed.size(), out.size());
    QVERIFY(echoed == out);
}

void TestSerialPort::closeWithStuckOutput_data()
{
    QTest::addColumn<bool>("otherEndGone");
    QTest::newRow("other end does not read") << false;
    QTest::newRow("other end gone") << true;
}

// Output that cannot be delivered does not hold close() for ever.
void TestSerialPort::closeWithStuckOutput()
{
    QFETCH(bool, otherEndGone);
    PtyPair pty(false);
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    QVERIFY(port.open(workerMode));
    QCOMPARE(port.write(QByteArray(1024 * 1024, 'z')), qint64(1024 * 1024));
    QVERIFY(port.bytesToWrite() > 0);
    if (otherEndGone) {
        pty.closeMaster();
        QTRY_COMPARE_WITH_TIMEOUT(port.write("more"), qint64(-1), Long);
    } else {
        QTest::ignoreMessage(QtWarningMsg,
                             QRegularExpression("Win_QextSerialPort: .*: output not sent within"));
    }
    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(port.bytesToWrite(), qint64(0));
}

void TestSerialPort::closeFromWorkerWhileStreaming()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, true);
    QVERIFY(port.open(workerMode));

    std::atomic<bool> stop{false};
    std::thread streamer([&] {
        const QByteArray chunk = randomBytes(4096, 4);
        while (!stop)
            pty.writeMaster(chunk, 100);
    });
    QTRY_VERIFY_WITH_TIMEOUT(rec.size() > 256 * 1024, Long);

    QThread* worker = QThread::create([&] { port.close(); });
    worker->start();
    const bool ended = worker->wait(Long);
    if (!ended) {
        stop = true;
        streamer.join();
        QFAIL("close() from the worker thread did not return");
    }
    delete worker;
    QVERIFY(!port.isOpen());
    // The monitor has ended: nothing more arrives although the other end keeps sending.
    const int notifications = rec.readyReads;
    QTest::qWait(200);
    QCOMPARE(int(rec.readyReads), notifications);
    stop = true;
    streamer.join();

    // And the port can be opened again.
    pty.readMasterNow();
    QVERIFY(port.open(workerMode));
    port.readAll();
    QVERIFY(pty.writeMaster("after"));
    QTRY_VERIFY_WITH_TIMEOUT(rec.data().endsWith("after"), Long);
    port.close();
}

void TestSerialPort::closeInsideReadyReadSlot()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    std::atomic<int> calls{0};
    std::atomic<bool> closedInSlot{false};
    connect(
        &port, &QIODevice::readyRead, &port,
        [&] {
            if (++calls == 1) {
                port.write("bye");
                port.close();
                closedInSlot = !port.isOpen();
            }
        },
        Qt::DirectConnection);
    QVERIFY(port.open(workerMode));
    QVERIFY(pty.writeMaster("x"));
    QTRY_VERIFY_WITH_TIMEOUT(closedInSlot, Long);
    QVERIFY(!port.isOpen());
    QCOMPARE(pty.readMaster(3), QByteArray("bye"));

    // The monitor ended by itself; a new open starts a fresh one.
    QVERIFY(port.open(workerMode));
    QVERIFY(pty.writeMaster("y"));
    QTRY_COMPARE_WITH_TIMEOUT(int(calls), 2, Long);
    QCOMPARE(port.readAll(), QByteArray("y"));
    port.close();
}

// Closing and opening again from a slot on the monitor thread keeps that thread as the monitor.
void TestSerialPort::reopenInsideReadyReadSlot()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    std::atomic<int> calls{0};
    std::atomic<bool> reopened{false};
    QByteArray seen;
    QMutex seenLock;
    connect(
        &port, &QIODevice::readyRead, &port,
        [&] {
            QByteArray chunk = port.readAll();
            {
                QMutexLocker l(&seenLock);
                seen += chunk;
            }
            if (++calls == 1) {
                port.close();
                reopened = port.open(workerMode);
            }
        },
        Qt::DirectConnection);
    QVERIFY(port.open(workerMode));
    QVERIFY(pty.writeMaster("1"));
    QTRY_VERIFY_WITH_TIMEOUT(reopened, Long);
    QVERIFY(port.isOpen());
    QVERIFY(pty.writeMaster("2"));
    QTRY_COMPARE_WITH_TIMEOUT(int(calls), 2, Long);
    {
        QMutexLocker l(&seenLock);
        QCOMPARE(seen, QByteArray("12"));
    }
    port.close();
    QVERIFY(!port.isOpen());
}

// A close on the worker thread while a slot on the monitor thread closes and re-opens: neither
// hangs, and a port left open has a running monitor. Many rounds, to meet the interleavings.
void TestSerialPort::closeWhileMonitorReopens()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    for (int round = 0; round < 60; ++round) {
        QextSerialPort port(pty.slavePath(), EventIo);
        std::atomic<int> calls{0};
        std::atomic<bool> slotDone{false};
        connect(
            &port, &QIODevice::readyRead, &port,
            [&] {
                port.readAll();
                if (++calls == 1) {
                    QThread::usleep(ulong(round % 6) * 200);
                    port.close();
                    port.open(workerMode);
                    slotDone = true;
                }
            },
            Qt::DirectConnection);
        QVERIFY(port.open(workerMode));
        QVERIFY(pty.writeMaster("x"));
        QTRY_VERIFY_WITH_TIMEOUT(calls > 0, Long);
        QThread::usleep(ulong(round % 4) * 300);
        port.close();
        QTRY_VERIFY_WITH_TIMEOUT(slotDone, Long);
        if (port.isOpen()) {
            QVERIFY(pty.writeMaster("y"));
            QTRY_VERIFY_WITH_TIMEOUT(calls > 1, Long);
        }
        port.close();
        QVERIFY(!port.isOpen());
        pty.readMaster(1, 10); // nothing is expected; keep the line empty between rounds
    }
}

// size() and atEnd() from another thread while the port opens and closes: they never read a
// device the close is freeing (the sanitizer run reports it if they do).
void TestSerialPort::sizeWhileClosing()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    std::atomic<bool> stop{false};
    std::atomic<qint64> calls{0};
    std::thread reader([&] {
        while (!stop) {
            if (port.size() < 0 || (port.atEnd() && port.size() < 0))
                break;
            ++calls;
        }
    });
    for (int round = 0; round < 300; ++round) {
        QVERIFY(port.open(workerMode));
        if (round % 3 == 0)
            QVERIFY(pty.writeMaster("z"));
        port.close();
    }
    stop = true;
    reader.join();
    QVERIFY(calls > 0);
}

void TestSerialPort::otherEndClosesMidStream_data()
{
    QTest::addColumn<bool>("slotReads");
    QTest::newRow("receive slot reads") << true;
    QTest::newRow("nobody reads") << false;
}

// The other end vanishes while data flows: the port reports failure instead of spinning or
// hanging, what had arrived can still be read, and the port still closes.
void TestSerialPort::otherEndClosesMidStream()
{
    QFETCH(bool, slotReads);
    PtyPair pty(false);
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    rec.attach(&port, slotReads);
    QVERIFY(port.open(workerMode));

    QVERIFY(pty.writeMaster(randomBytes(64 * 1024, 5)));
    QTRY_VERIFY_WITH_TIMEOUT(rec.readyReads > 0, Long);
    pty.closeMaster();

    // Once whatever had arrived is taken, the port cannot count any more.
    QTRY_VERIFY_WITH_TIMEOUT(port.bytesAvailable() != qint64(0), Long);
    if (!slotReads) {
        while (port.bytesAvailable() > 0)
            QVERIFY(!port.readAll().isEmpty());
    }
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(-1), Long);
    QCOMPARE(port.lastError(), ulong(ErrIo));
    char c = 'k';
    QCOMPARE(port.read(&c, 1), qint64(-1));
    QCOMPARE(c, 'k');
    QCOMPARE(port.lastError(), ulong(ErrReadFailed));
    QCOMPARE(port.write("x"), qint64(-1));
    QCOMPARE(port.lastError(), ulong(ErrWriteFailed));

    // No stream of notifications for a line that is gone (one already under way may finish).
    QTest::qWait(100);
    const int notifications = rec.readyReads;
    QTest::qWait(500);
    QCOMPARE(int(rec.readyReads), notifications);
    QVERIFY(notifications < 100);

    QVERIFY(port.isOpen());
    port.close();
    QVERIFY(!port.isOpen());
    QCOMPARE(port.bytesAvailable(), qint64(0));
}

void TestSerialPort::polledMode()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), PolledIo);
    Recorder rec;
    rec.attach(&port, false);
    port.setTimeout(100);
    QVERIFY(port.open(workerMode));
    QCOMPARE(port.timeouts().readTotalConstant, 100u);
    char buf[8];
    QCOMPARE(port.read(buf, sizeof buf), qint64(0)); // after the 100 ms time-out
    QVERIFY(pty.writeMaster("xyz"));
    QCOMPARE(port.read(buf, 3), qint64(3));
    QCOMPARE(QByteArray(buf, 3), QByteArray("xyz"));
    QCOMPARE(port.write("hello"), qint64(5));
    QCOMPARE(pty.readMaster(5), QByteArray("hello"));
    // No monitor in this mode.
    QTest::qWait(100);
    QCOMPARE(int(rec.readyReads), 0);
    port.close();
}

// A pseudo-terminal has no modem lines: not an error, and the port keeps working.
void TestSerialPort::modemLinesOnPseudoTerminal()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    QVERIFY(port.open(workerMode));
    QCOMPARE(port.lineStatus(), ulong(0));
    port.setDtr(false);
    port.setRts(false);
    port.setDtr(true);
    port.setRts(true);
    port.flush();
    QCOMPARE(port.write("ok"), qint64(2));
    QCOMPARE(pty.readMaster(2), QByteArray("ok"));
    QVERIFY(pty.writeMaster("fine"));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(4), Long);
    QCOMPARE(port.lastError(), ulong(ErrNone));
    port.close();
    QCOMPARE(port.lineStatus(), ulong(0));
}

QTEST_GUILESS_MAIN(TestSerialPort)
void TestSerialPort::waitForReadyRead_data()
{
    QTest::addColumn<QString>("event"); // what the other end does while another thread waits
    QTest::addColumn<bool>("expected");
    // The waiter wakes only once the receive slot has taken the bytes.
    QTest::newRow("ends on arrival") << "write" << true;
    QTest::newRow("bytes already waiting") << "written before" << true;
    QTest::newRow("ends false on hang-up") << "hang up" << false;
}

// The wait is far longer than any row takes: a waiter that misses its event is still waiting
// when the row gives up on it.
void TestSerialPort::waitForReadyRead()
{
    QFETCH(QString, event);
    QFETCH(bool, expected);
    PtyPair pty(false);
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    Recorder rec;
    const bool slotReads = event == "write";
    if (slotReads) {
        // A slow slot ahead of the reading one: a waiter woken before the slots ran would
        // find nothing taken yet.
        QObject::connect(
            &port, &QIODevice::readyRead, &port, [] { QThread::msleep(50); }, Qt::DirectConnection);
    }
    rec.attach(&port, slotReads);
    QVERIFY(port.open(workerMode));
    if (event == "written before") {
        QVERIFY(pty.writeMaster("b"));
        QTRY_VERIFY_WITH_TIMEOUT(rec.readyReads > 0, Long);
    }

    std::atomic<bool> done{false};
    std::atomic<bool> result{!expected};
    QByteArray seenAtWake;
    std::thread waiter([&] {
        result = port.waitForReadyRead(60000);
        seenAtWake = rec.data();
        done = true;
    });
    QTest::qWait(100);
    if (event == "write")
        QVERIFY(pty.writeMaster("x"));
    else if (event == "hang up")
        pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(done, Long);
    waiter.join();
    QCOMPARE(bool(result), expected);
    if (slotReads)
        QCOMPARE(seenAtWake, QByteArray("x"));
    port.close();
}

#include "tst_serialport.moc"
