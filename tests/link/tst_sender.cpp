// The YMODEM sender against a peer played by the test over a pseudo-terminal.
#include "timescale.h"
#include "workerline.h"
#include "ymodem.h"
#include "ymodemcode.h"

#include <QTemporaryDir>
#include <QtTest>
#include <cmath>

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

const QString kLoading = QStringLiteral("User Settings Loading...");
const QString kUploaded = QStringLiteral("User Settings Uploaded Successfully");
const QString kWithErrors = QStringLiteral("Upload Canceled with Errors...");
const QString kByRemote = QStringLiteral("Upload Canceled by Remote");

// What the peer saw of one send.
struct Peer {
    QList<int> numbers; // every block read, header (0) and copies included
    QList<int> sizes;   // data blocks taken, in order
    QByteArray data;    // their data
    int lastTaken = 0;  // number of the last data block taken (the header counts as 0)
};

QByteArray bytesOf(const QStringList& tokens)
{
    static const QMap<QString, char> names{{"ACK", char(WorkerLine::ACK)},
                                           {"NAK", char(WorkerLine::NAK)},
                                           {"CAN", char(WorkerLine::CAN)},
                                           {"EOT", char(WorkerLine::EOT)},
                                           {"C", 'C'},
                                           {"x", 'x'}};
    QByteArray bytes;
    for (const QString& t : tokens)
        bytes.append(names.value(t, '?'));
    return bytes;
}

bool isDataBlock(const WorkerLine::Block& b)
{
    return (b.kind == WorkerLine::SOH || b.kind == WorkerLine::STX) && b.crcOk &&
           b.number + b.complement == 0xFF;
}

void take(Peer& peer, const WorkerLine::Block& b)
{
    peer.numbers << b.number;
    if (b.number == peer.lastTaken)
        return; // a copy of the block taken last
    peer.lastTaken = b.number;
    peer.sizes << b.data.size();
    peer.data += b.data;
}

// Takes and acknowledges data blocks, each the one after the last taken, up to EOT (read).
QString takeTheRest(WorkerLine& line, Peer& peer)
{
    for (;;) {
        const WorkerLine::Block b = line.readBlock(5000);
        if (b.kind == WorkerLine::EOT)
            return QString();
        if (!isDataBlock(b) || b.number != ((peer.lastTaken + 1) & 0xFF))
            return QStringLiteral("block %1 (kind %2) after %3")
                .arg(b.number)
                .arg(b.kind)
                .arg(peer.lastTaken);
        take(peer, b);
        line.writeByte(WorkerLine::ACK);
    }
}

// One step of a receiver script; an empty answer when the step went as written.
//   header | block N | drop N (read, not taken) | rest (take and ACK all up to EOT) | eot
//   send TOKENS | expect TOKENS (these bytes come next) | quiet MS | wait MS | hangup
QString runStep(WorkerLine& line, Peer& peer, const QString& step)
{
    const QStringList words = step.split(QLatin1Char(' '));
    const QString verb = words.first();
    const QStringList args = words.mid(1);
    if (verb == "header") {
        const WorkerLine::Block b = line.readBlock(5000);
        peer.numbers << b.number;
        return b.kind == WorkerLine::SOH && b.number == 0 && b.crcOk ? QString() : "no header";
    }
    if (verb == "block" || verb == "drop") {
        const WorkerLine::Block b = line.readBlock(5000);
        if (!isDataBlock(b) || b.number != args.value(0).toInt())
            return QStringLiteral("block %1 (kind %2)").arg(b.number).arg(b.kind);
        if (verb == "block")
            take(peer, b);
        else
            peer.numbers << b.number;
        return QString();
    }
    if (verb == "rest")
        return takeTheRest(line, peer);
    if (verb == "eot")
        return line.readByte(5000) == WorkerLine::EOT ? QString() : "no EOT";
    if (verb == "send")
        return line.write(bytesOf(args)) ? QString() : "write failed";
    if (verb == "expect") {
        const QByteArray want = bytesOf(args);
        const QByteArray got = line.read(want.size(), 5000);
        return got == want ? QString() : "got " + QString::fromLatin1(got.toHex());
    }
    if (verb == "quiet") {
        const int ms = args.value(0).toInt();
        const QByteArray got = line.readUntilQuiet(ms, ms);
        return got.isEmpty() ? QString() : "not quiet: " + QString::fromLatin1(got.toHex());
    }
    if (verb == "wait") {
        QTest::qWait(args.value(0).toInt());
        return QString();
    }
    if (verb == "hangup") {
        line.hangUp();
        return QString();
    }
    return "unknown step " + step;
}

// Sends data as a file called f.bin from the worker's thread.
void startSend(WorkerLine& line, QTemporaryDir& dir, const QByteArray& data, bool firmware)
{
    const QString path = dir.filePath("f.bin");
    QFile f(path);
    f.open(QIODevice::WriteOnly);
    f.write(data);
    f.close();
    line.start([data, path, firmware](YMODEM& w) {
        return firmware ? w.Ymodem_Transmit(data, QFileInfo(path))
                        : w.Ymodem_Transmit_User_Data(data, QFileInfo(path));
    });
}

// The receiver's script of a prompt file transfer of size bytes.
QStringList prompt()
{
    return {"header", "send ACK C", "rest", "send ACK"};
}

QList<int> numbersUpTo(int blocks)
{
    QList<int> n{0};
    for (int i = 1; i <= blocks; ++i)
        n << (i & 0xFF);
    return n;
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
    void receiverScript_data();
    void receiverScript();
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

QList<int> repeated(int value, int times)
{
    QList<int> list;
    for (int i = 0; i < times; ++i)
        list << value;
    return list;
}

// Progress as the window sees it: each value once, from the data carried so far.
QList<int> progressOf(const QList<int>& sizes, int total)
{
    QList<int> shown;
    int done = 0;
    for (int size : sizes) {
        done += qMin(size, total - done);
        const int p = int(std::floor(float(float(done) / float(total) * 100.0f)));
        if (shown.isEmpty() || shown.last() != p)
            shown << p;
    }
    return shown;
}

void TestSender::receiverScript_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("firmware");
    QTest::addColumn<double>("scale"); // of the sender's bounds (header wait, block wait, ...)
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<int>("result");
    QTest::addColumn<QList<int>>("blocks"); // numbers of the blocks written, copies included
    QTest::addColumn<QList<int>>("sizes");  // of the data blocks taken
    QTest::addColumn<QList<int>>("progress");
    QTest::addColumn<QStringList>("statuses");

    const double tenth = kScale;
    const QStringList sent{kLoading, kUploaded};
    const QList<int> s128{128};
    const auto sizeRow = [&](const char* name, int size, const QList<int>& sizes,
                             const QList<int>& progress) {
        QTest::newRow(name) << size << false << tenth << prompt() << 0 << numbersUpTo(sizes.size())
                            << sizes << progress << (size > 0 ? sent : QStringList{kUploaded});
    };
    sizeRow("0 bytes", 0, {}, {});
    sizeRow("1 byte", 1, s128, {100});
    sizeRow("127 bytes", 127, s128, {100});
    sizeRow("128 bytes", 128, s128, {100});
    sizeRow("129 bytes", 129, {128, 128}, {99, 100});
    sizeRow("300 bytes", 300, {128, 128, 128}, {42, 85, 100});
    sizeRow("1023 bytes", 1023, repeated(128, 8), {12, 25, 37, 50, 62, 75, 87, 100});
    sizeRow("1024 bytes", 1024, {1024}, {100});
    sizeRow("1025 bytes", 1025, {1024, 128}, {99, 100});
    sizeRow("1500 bytes", 1500, {1024, 128, 128, 128, 128}, {68, 76, 85, 93, 100});
    const QList<int> kib64 = repeated(1024, 64) << 128;
    sizeRow("64 KiB + 1", 65537, kib64, progressOf(kib64, 65537));
    // The 256th data block carries number 0.
    const QList<int> wraps = repeated(1024, 256) << 128;
    sizeRow("block number wraps", 256 * 1024 + 1, wraps, progressOf(wraps, 256 * 1024 + 1));

    const QList<int> s2000 = QList<int>{1024} << repeated(128, 8);
    QTest::newRow("firmware statuses")
        << 2000 << true << tenth << prompt() << 0 << numbersUpTo(9) << s2000
        << progressOf(s2000, 2000)
        << QStringList{"Memory Erase in Process...", "File Upload in Process...",
                       "File Uploaded Successfully"};

    // Block 1 goes out only on the "C" that follows the header's ACK (rz empties its input as
    // it sends that "C").
    QTest::newRow("block 1 waits for the C after the header's ACK")
        << 300 << false << 1.0
        << QStringList{"header", "send ACK", "quiet 400", "send C", "rest", "send ACK"} << 0
        << numbersUpTo(3) << QList<int>{128, 128, 128} << QList<int>{42, 85, 100} << sent;

    const QList<int> s2200{1024, 1024, 128, 128};
    QTest::newRow("block lost mid-file, asked again with NAK")
        << 2200 << false << tenth << QStringList{"header", "send ACK C", "block 1", "send ACK",
                                                 "drop 2", "send NAK",   "rest",    "send ACK"}
        << 0 << QList<int>{0, 1, 2, 2, 3, 4} << s2200 << QList<int>{46, 93, 98, 100} << sent;
    const QList<int> s300{128, 128, 128};
    const QList<int> p300{42, 85, 100};
    QTest::newRow("first block lost, asked again with a late C")
        << 300 << false << tenth
        << QStringList{"header", "send ACK C", "drop 1", "wait 400", "send C", "rest", "send ACK"}
        << 0 << QList<int>{0, 1, 1, 2, 3} << s300 << p300 << sent;
    // Answers that arrived before a block went out answer none of it.
    QTest::newRow("NAK and ACK together")
        << 300 << false << tenth << QStringList{"header",  "send ACK C", "block 1", "send NAK ACK",
                                                "block 1", "send ACK",   "rest",    "send ACK"}
        << 0 << QList<int>{0, 1, 1, 2, 3} << s300 << p300 << sent;
    QTest::newRow("late C and ACK together")
        << 300 << false << tenth
        << QStringList{"header",  "send ACK C", "block 1", "wait 400", "send C ACK",
                       "block 1", "send ACK",   "rest",    "send ACK"}
        << 0 << QList<int>{0, 1, 1, 2, 3} << s300 << p300 << sent;
    QTest::newRow("ACK and C together")
        << 300 << false << tenth
        << QStringList{"header", "send ACK C", "block 1", "send ACK C", "rest", "send ACK"} << 0
        << numbersUpTo(3) << s300 << p300 << sent;
    QTest::newRow("ACK for a block not yet sent")
        << 300 << false << tenth
        << QStringList{"header",    "send ACK C", "block 1", "send ACK ACK", "block 2",
                       "quiet 300", "send ACK",   "rest",    "send ACK"}
        << 0 << numbersUpTo(3) << s300 << p300 << sent;

    // While the header waits for its ACK every other byte is ignored: nothing is sent again.
    const QStringList stray{"header",    "send C",     "wait 400", "send C NAK CAN C",
                            "quiet 400", "send ACK C", "rest",     "send ACK"};
    QTest::newRow("stray C's while the header waits")
        << 300 << false << tenth << stray << 0 << numbersUpTo(3) << s300 << p300 << sent;
    QTest::newRow("loader polls C while it erases")
        << 300 << true << tenth << stray << 0 << numbersUpTo(3) << s300 << p300
        << QStringList{"Memory Erase in Process...", "File Upload in Process...",
                       "File Uploaded Successfully"};

    QStringList refused{"header", "send ACK C"};
    for (int i = 0; i < 11; ++i)
        refused << "block 1"
                << "send NAK";
    refused << "expect CAN CAN";
    QTest::newRow("block refused eleven times")
        << 500 << false << tenth << refused << int(YmodemCode::BlockRefused)
        << (QList<int>{0} << repeated(1, 11)) << s128 << QList<int>{25}
        << QStringList{kLoading, kWithErrors};

    const auto cancelRow = [&](const char* name, const QString& answer, int result) {
        QTest::newRow(name) << 5000 << false << tenth
                            << QStringList{"header", "send ACK C", "block 1", answer, "quiet 200"}
                            << result << QList<int>{0, 1} << QList<int>{1024} << QList<int>{20}
                            << QStringList{kLoading, kByRemote};
    };
    cancelRow("CAN then another byte", "send CAN x", YmodemCode::CancelledOnce);
    cancelRow("CAN alone", "send CAN", YmodemCode::CancelledOnce);
    cancelRow("CAN CAN", "send CAN CAN", YmodemCode::CancelledTwice);

    QTest::newRow("EOT NAK then ACK")
        << 10 << false << tenth << QStringList{"header", "send ACK C", "block 1", "send ACK",
                                               "eot",    "send NAK",   "eot",     "send ACK"}
        << 0 << QList<int>{0, 1} << s128 << QList<int>{100} << sent;
    // rz answers EOT only after a second of quiet; the sender must not talk over it.
    QTest::newRow("EOT answered after a second of quiet")
        << 0 << false << 1.0
        << QStringList{"header", "send ACK C", "eot", "quiet 1000", "send ACK", "quiet 200"} << 0
        << QList<int>{0} << QList<int>{} << QList<int>{} << QStringList{kUploaded};
    QTest::newRow("EOT never answered")
        << 0 << false << tenth
        << QStringList{"header", "send ACK C", "expect" + QString(" EOT").repeated(10), "quiet 300"}
        << int(YmodemCode::EotUnanswered) << QList<int>{0} << QList<int>{} << QList<int>{}
        << QStringList{kWithErrors};

    QTest::newRow("header never acknowledged")
        << 200 << false << 0.005 << QStringList{"header", "expect CAN CAN", "quiet 200"}
        << int(YmodemCode::HeaderUnanswered) << QList<int>{0} << QList<int>{} << QList<int>{}
        << QStringList{kWithErrors};
    // The loader's header wait is ten minutes (it erases first), another receiver's three: a
    // pulled cable must hold neither.
    const QStringList pulled{"header", "wait 300", "hangup"};
    QTest::newRow("hang-up during the loader's header wait")
        << 2000 << true << 1.0 << pulled << int(YmodemCode::HeaderUnanswered) << QList<int>{0}
        << QList<int>{} << QList<int>{} << QStringList{"Memory Erase in Process...", kWithErrors};
    QTest::newRow("hang-up during another receiver's header wait")
        << 2000 << false << 1.0 << pulled << int(YmodemCode::HeaderUnanswered) << QList<int>{0}
        << QList<int>{} << QList<int>{} << QStringList{kWithErrors};
    QTest::newRow("block never answered")
        << 200 << false << 0.01
        << QStringList{"header", "send ACK C", "block 1", "expect CAN CAN", "quiet 200"}
        << int(YmodemCode::BlockUnanswered) << QList<int>{0, 1} << s128 << QList<int>{64}
        << QStringList{kLoading, kWithErrors};
}

void TestSender::receiverScript()
{
    QFETCH(int, size);
    QFETCH(bool, firmware);
    QFETCH(double, scale);
    QFETCH(QStringList, script);
    QFETCH(int, result);
    QFETCH(QList<int>, blocks);
    QFETCH(QList<int>, sizes);
    QFETCH(QList<int>, progress);
    QFETCH(QStringList, statuses);

    TimeScale::setFactor(scale);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    const QByteArray data = pattern(size);
    startSend(line, dir, data, firmware);
    Peer peer;
    for (const QString& step : qAsConst(script)) {
        const QString why = runStep(line, peer, step);
        QVERIFY2(why.isEmpty(), qPrintable(step + ": " + why));
    }
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), result);
    QCOMPARE(peer.numbers, blocks);
    QCOMPARE(peer.sizes, sizes);
    QCOMPARE(line.progress(), progress);
    QCOMPARE(line.statuses(), statuses);
    // What the blocks carried is the file, padded with 0x1A.
    QCOMPARE(peer.data.left(size), data.left(peer.data.size()));
    QCOMPARE(peer.data.mid(size), QByteArray(qMax(0, peer.data.size() - size), char(0x1A)));
}

QTEST_GUILESS_MAIN(TestSender)
#include "tst_sender.moc"
