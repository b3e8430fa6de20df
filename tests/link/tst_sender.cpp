// The YMODEM sender against a peer played by the test over a pseudo-terminal.
#include "timescale.h"
#include "workerline.h"
#include "ymodem.h"
#include "ymodemcode.h"

#include <QElapsedTimer>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
const double kScale = 0.1; // bounds: header 18 s, block 3 s, re-ask 300 ms, EOT answer 150 ms

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xFF);
    return data;
}

// What a receiver collects from one file.
struct Received {
    QByteArray header;
    QByteArray data;
    QList<int> sizes;
    QList<int> numbers;
    int eots = 0;
    bool ok = false;
};

// Plays a prompt receiver: ACK and "C" for the header, ACK for each block and for EOT.
Received receiveFile(WorkerLine& line)
{
    Received r;
    const WorkerLine::Block h = line.readBlock(5000);
    if (h.kind != WorkerLine::SOH || h.number != 0 || !h.crcOk)
        return r;
    r.header = h.data;
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    for (;;) {
        const WorkerLine::Block b = line.readBlock(5000);
        if (b.kind == WorkerLine::EOT) {
            ++r.eots;
            line.writeByte(WorkerLine::ACK);
            r.ok = true;
            return r;
        }
        if ((b.kind != WorkerLine::SOH && b.kind != WorkerLine::STX) || !b.crcOk ||
            b.number + b.complement != 0xFF)
            return r;
        r.sizes << b.data.size();
        r.numbers << b.number;
        r.data += b.data;
        line.writeByte(WorkerLine::ACK);
    }
}

// Sends data as a file called name from the worker's thread.
void startSend(WorkerLine& line, QTemporaryDir& dir, const QString& name, const QByteArray& data,
               bool firmware = false)
{
    const QString path = dir.filePath(name);
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
    f.close();
    line.start([data, path, firmware](YMODEM& w) {
        return firmware ? w.Ymodem_Transmit(data, QFileInfo(path))
                        : w.Ymodem_Transmit_User_Data(data, QFileInfo(path));
    });
}
} // namespace

class TestSender : public QObject
{
    Q_OBJECT

private slots:
    void init() { TimeScale::setFactor(kScale); }
    void cleanupTestCase() { TimeScale::setFactor(1.0); }

    void crc_data();
    void crc();
    void headerBlock();
    void headerBlockLongName();
    void sendSizes_data();
    void sendSizes();
    void firmwareStatuses();
    void blockNumberWraps();
    void waitsForRequestAfterHeader();
    void nakResendsBlock();
    void answersTogether_data();
    void answersTogether();
    void nakExhausted();
    void cancelledByReceiver_data();
    void cancelledByReceiver();
    void eotNakThenAck();
    void eotAnsweredAfterASecond();
    void eotNeverAnswered();
    void lostHeaderAskedAgain();
    void headerNeverAcknowledged();
    void headerWaitEndsOnHangUp_data();
    void headerWaitEndsOnHangUp();
    void blockNeverAnswered();
};

void TestSender::crc_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("expected");
    QTest::newRow("digits") << QByteArray("123456789") << 0x31C3;
    QTest::newRow("abc") << QByteArray("abc") << 0x9DD6;
    QTest::newRow("empty") << QByteArray() << 0x0000;
    QTest::newRow("zeros") << QByteArray(128, '\0') << 0x0000;
    QByteArray everyByte;
    for (int b = 0; b < 256; ++b)
        everyByte.append(char(b));
    QTest::newRow("every byte value") << everyByte << 0x7E55;
}

void TestSender::crc()
{
    QFETCH(QByteArray, data);
    QFETCH(int, expected);
    QCOMPARE(int(YMODEM::Crc16_Compute(reinterpret_cast<const unsigned char*>(data.constData()),
                                       data.size())),
             expected);
}

void TestSender::headerBlock()
{
    QTemporaryDir dir;
    QFile f(dir.filePath("a.bin"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(1500, 'x'));
    f.close();

    QByteArray out("keep");
    YMODEM::Build_Header_Block(out, QFileInfo(f.fileName()));
    QCOMPARE(out.size(), 4 + 131);
    const QByteArray block = out.mid(4);
    QByteArray expected = QByteArray::fromHex("0100FF612E62696E0031353030");
    expected.append(118, '\0');
    QCOMPARE(block.toHex(), expected.toHex());
    const quint16 c =
        YMODEM::Crc16_Compute(reinterpret_cast<const unsigned char*>(block.constData()) + 3, 128);
    QCOMPARE(int(c), 0xB925);
}

void TestSender::headerBlockLongName()
{
    QTemporaryDir dir;
    const QString name = QString(150, QLatin1Char('n')) + QStringLiteral(".bin");
    QFile f(dir.filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(QByteArray(123456, 'x'));
    f.close();

    QByteArray out;
    YMODEM::Build_Header_Block(out, QFileInfo(f.fileName()));
    QCOMPARE(out.size(), 131);
    const QByteArray data = out.mid(3);
    // The size survives whole; the name gives way, and the block is exactly full.
    QVERIFY(data.endsWith(QByteArray("\0"
                                     "123456",
                                     7)));
    QCOMPARE(data.indexOf('\0'), 128 - 7);
}

void TestSender::sendSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("sizes");
    QTest::addColumn<QList<int>>("progress");

    const QList<int> s128{128};
    QTest::newRow("0") << 0 << QList<int>{} << QList<int>{};
    QTest::newRow("1") << 1 << s128 << QList<int>{100};
    QTest::newRow("127") << 127 << s128 << QList<int>{100};
    QTest::newRow("128") << 128 << s128 << QList<int>{100};
    QTest::newRow("129") << 129 << QList<int>{128, 128} << QList<int>{99, 100};
    QTest::newRow("300") << 300 << QList<int>{128, 128, 128} << QList<int>{42, 85, 100};
    QTest::newRow("1023") << 1023 << QList<int>{128, 128, 128, 128, 128, 128, 128, 128}
                          << QList<int>{12, 25, 37, 50, 62, 75, 87, 100};
    QTest::newRow("1024") << 1024 << QList<int>{1024} << QList<int>{100};
    QTest::newRow("1025") << 1025 << QList<int>{1024, 128} << QList<int>{99, 100};
    QTest::newRow("1500") << 1500 << QList<int>{1024, 128, 128, 128, 128}
                          << QList<int>{68, 76, 85, 93, 100};

    QList<int> sizes;
    QList<int> progress;
    for (int i = 1; i <= 64; ++i) {
        sizes << 1024;
        progress << int(std::floor(float(float(i * 1024) / 65537.0f * 100.0f)));
    }
    sizes << 128;
    progress << 100;
    QTest::newRow("64 KiB + 1") << 65537 << sizes << progress;
}

void TestSender::sendSizes()
{
    QFETCH(int, size);
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, progress);

    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    const QByteArray data = pattern(size);
    startSend(line, dir, "f.bin", data);
    const Received r = receiveFile(line);
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), 0);
    QVERIFY(r.ok);
    QCOMPARE(r.eots, 1);

    QCOMPARE(r.header.left(6 + QByteArray::number(size).size() + 1),
             QByteArray("f.bin\0", 6) + QByteArray::number(size) + '\0');
    QCOMPARE(r.sizes, sizes);
    QCOMPARE(line.progress(), progress);
    QCOMPARE(r.data.left(size), data);
    QCOMPARE(r.data.mid(size), QByteArray(r.data.size() - size, char(0x1A)));
    for (int i = 0; i < r.numbers.size(); ++i)
        QCOMPARE(r.numbers.at(i), (i + 1) & 0xFF);

    QStringList expected;
    if (size > 0)
        expected << "User Settings Loading...";
    expected << "User Settings Uploaded Successfully";
    QCOMPARE(line.statuses(), expected);
}

void TestSender::firmwareStatuses()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "image.bin", pattern(2000), true);
    QVERIFY(receiveFile(line).ok);
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(line.statuses(),
             QStringList({"Memory Erase in Process...", "File Upload in Process...",
                          "File Uploaded Successfully"}));
}

void TestSender::blockNumberWraps()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    const QByteArray data = pattern(256 * 1024 + 1);
    startSend(line, dir, "big.bin", data);
    const Received r = receiveFile(line);
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(r.numbers.size(), 257);
    QCOMPARE(r.numbers.at(254), 255);
    QCOMPARE(r.numbers.at(255), 0); // the 256th block; its complement was checked on the way
    QCOMPARE(r.numbers.at(256), 1);
    QCOMPARE(r.data.left(data.size()), data);
}

// Block 1 goes out only after the receiver's "C" that follows the header's ACK.
void TestSender::waitsForRequestAfterHeader()
{
    TimeScale::setFactor(1.0); // one second for that "C"
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(300));
    QCOMPARE(line.readBlock(5000).number, 0);
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.readUntilQuiet(400, 400).isEmpty());
    line.write("C");
    QElapsedTimer answered;
    answered.start();
    const WorkerLine::Block b = line.readBlock(5000);
    QCOMPARE(b.number, 1);
    QVERIFY(answered.elapsed() < 500);
    line.writeByte(WorkerLine::ACK);
    QCOMPARE(line.readBlock(5000).number, 2);
    line.writeByte(WorkerLine::ACK);
    QCOMPARE(line.readBlock(5000).number, 3);
    line.writeByte(WorkerLine::ACK);
    QCOMPARE(line.readByte(5000), int(WorkerLine::EOT));
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
}

void TestSender::nakResendsBlock()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    const QByteArray data = pattern(3000);
    startSend(line, dir, "f.bin", data);
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QCOMPARE(line.readBlock(5000).number, 1);
    line.writeByte(WorkerLine::ACK);
    const WorkerLine::Block first = line.readBlock(5000);
    QCOMPARE(first.number, 2);
    line.writeByte(WorkerLine::NAK);
    const WorkerLine::Block again = line.readBlock(5000);
    QCOMPARE(again.number, 2);
    QCOMPARE(again.data, first.data);
    QVERIFY(again.crcOk);
    line.writeByte(WorkerLine::ACK);
    QByteArray got = first.data;
    for (;;) {
        const WorkerLine::Block b = line.readBlock(5000);
        if (b.kind == WorkerLine::EOT)
            break;
        QVERIFY(b.kind == WorkerLine::SOH || b.kind == WorkerLine::STX);
        got += b.data;
        line.writeByte(WorkerLine::ACK);
    }
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(got.left(3000 - 1024), data.mid(1024));
}

void TestSender::answersTogether_data()
{
    // The receiver's answer to block 1, in one write.
    QTest::addColumn<QByteArray>("answer");
    QTest::newRow("ACK") << QByteArray("\x06");
    QTest::newRow("NAK then ACK") << QByteArray("\x15\x06");
    QTest::newRow("late C then ACK") << QByteArray("C\x06");
    QTest::newRow("ACK then C") << QByteArray("\x06"
                                              "C");
    QTest::newRow("ACK twice") << QByteArray("\x06\x06");
}

// Whichever thread writes the next block, a block never follows a later one on the line.
void TestSender::answersTogether()
{
    QFETCH(QByteArray, answer);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    const QByteArray data = pattern(4 * 1024);
    startSend(line, dir, "f.bin", data);
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    const WorkerLine::Block first = line.readBlock(5000);
    QCOMPARE(first.number, 1);
    QTest::qWait(400); // the "C" above is now a late one: the receiver asks again with it
    line.write(answer);
    QMap<int, QByteArray> got{{1, first.data}};
    int last = 1;
    for (;;) {
        const WorkerLine::Block b = line.readBlock(5000);
        if (b.kind == WorkerLine::EOT)
            break;
        QVERIFY(b.kind == WorkerLine::STX && b.crcOk);
        QVERIFY2(b.number >= last,
                 qPrintable(QStringLiteral("block %1 after block %2").arg(b.number).arg(last)));
        if (b.number > last || !got.contains(b.number)) {
            got[b.number] = b.data;
            line.writeByte(WorkerLine::ACK);
        }
        last = b.number;
    }
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QByteArray whole;
    for (const QByteArray& d : qAsConst(got))
        whole += d;
    QCOMPARE(whole, data);
}

void TestSender::nakExhausted()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(500));
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    int copies = 0;
    for (;;) {
        const WorkerLine::Block b = line.readBlock(3000);
        if (b.kind != WorkerLine::SOH)
            break;
        QCOMPARE(b.number, 1);
        ++copies;
        line.writeByte(WorkerLine::NAK);
    }
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(copies, 11); // the block and ten resends
    QCOMPARE(line.result(), int(YmodemCode::BlockRefused));
    QVERIFY(line.statuses().contains("Upload Canceled with Errors..."));
}

void TestSender::cancelledByReceiver_data()
{
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<int>("expected");
    QTest::newRow("CAN then other") << QByteArray("\x18x") << -1;
    QTest::newRow("CAN alone") << QByteArray("\x18") << -1;
    QTest::newRow("CAN CAN") << QByteArray("\x18\x18") << -2;
}

void TestSender::cancelledByReceiver()
{
    QFETCH(QByteArray, answer);
    QFETCH(int, expected);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(5000));
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QCOMPARE(line.readBlock(5000).number, 1);
    line.write(answer);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), expected);
    QCOMPARE(line.statuses().last(), QString("Upload Canceled by Remote"));
    QVERIFY(line.readUntilQuiet(200).isEmpty()); // no EOT, nothing more
}

void TestSender::eotNakThenAck()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(10));
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QCOMPARE(line.readBlock(5000).number, 1);
    line.writeByte(WorkerLine::ACK);
    QCOMPARE(line.readByte(5000), int(WorkerLine::EOT));
    line.writeByte(WorkerLine::NAK);
    QCOMPARE(line.readByte(5000), int(WorkerLine::EOT));
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
}

// rz answers EOT only after a second of quiet; the sender must not talk over it.
void TestSender::eotAnsweredAfterASecond()
{
    TimeScale::setFactor(1.0);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", QByteArray());
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QCOMPARE(line.readByte(5000), int(WorkerLine::EOT));
    QVERIFY(line.readUntilQuiet(1000, 1000).isEmpty());
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QVERIFY(line.readUntilQuiet(200).isEmpty());
}

void TestSender::eotNeverAnswered()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", QByteArray());
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), int(YmodemCode::EotUnanswered));
    QCOMPARE(line.readUntilQuiet(200), QByteArray(10, WorkerLine::EOT));
    QCOMPARE(line.statuses().last(), QString("Upload Canceled with Errors..."));
}

// A request soon after the header is stale and ignored; one after a long silence means the
// header was lost, and it is sent again.
void TestSender::lostHeaderAskedAgain()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    const QByteArray data = pattern(200);
    startSend(line, dir, "f.bin", data);
    const WorkerLine::Block lost = line.readBlock(5000);
    QCOMPARE(lost.number, 0);
    line.write("C");
    QVERIFY(line.readUntilQuiet(150, 150).isEmpty());
    QTest::qWait(250); // over 3 s (scaled) since the header went out
    line.write("C");
    const WorkerLine::Block again = line.readBlock(5000);
    QCOMPARE(again.number, 0);
    QCOMPARE(again.data, lost.data);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QCOMPARE(line.readBlock(5000).number, 1);
    line.writeByte(WorkerLine::ACK);
    QCOMPARE(line.readBlock(5000).number, 2);
    line.writeByte(WorkerLine::ACK);
    QCOMPARE(line.readByte(5000), int(WorkerLine::EOT));
    line.writeByte(WorkerLine::ACK);
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
}

void TestSender::headerNeverAcknowledged()
{
    TimeScale::setFactor(0.005); // 3 minutes become 0.9 s
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(200));
    QCOMPARE(line.readBlock(5000).number, 0);
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), int(YmodemCode::HeaderUnanswered));
    QCOMPARE(line.readUntilQuiet(200), QByteArray(2, WorkerLine::CAN));
}

void TestSender::headerWaitEndsOnHangUp_data()
{
    QTest::addColumn<bool>("firmware");
    // The loader's header wait is ten minutes (it erases first): a pulled cable must not hold
    // it, nor the three minutes of another receiver.
    QTest::newRow("loader's header wait") << true;
    QTest::newRow("other receiver's header wait") << false;
}

void TestSender::headerWaitEndsOnHangUp()
{
    QFETCH(bool, firmware);
    TimeScale::setFactor(1.0); // the bounds as they stand
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(2000), firmware);
    QCOMPARE(line.readBlock(5000).number, 0);
    QTest::qWait(300);
    QElapsedTimer since;
    since.start();
    line.hangUp();
    QVERIFY(line.waitFinished(10000));
    QVERIFY2(since.elapsed() < 3000, qPrintable(QString::number(since.elapsed())));
    QCOMPARE(line.result(), int(YmodemCode::HeaderUnanswered));
    QCOMPARE(line.statuses().last(), QString("Upload Canceled with Errors..."));
}

void TestSender::blockNeverAnswered()
{
    TimeScale::setFactor(0.01);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startSend(line, dir, "f.bin", pattern(200));
    QCOMPARE(line.readBlock(5000).number, 0);
    line.write(QByteArray(1, WorkerLine::ACK) + "C");
    QCOMPARE(line.readBlock(5000).number, 1);
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), int(YmodemCode::BlockUnanswered));
    QCOMPARE(line.readUntilQuiet(200), QByteArray(2, WorkerLine::CAN));
}

QTEST_GUILESS_MAIN(TestSender)
#include "tst_sender.moc"
