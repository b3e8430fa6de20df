// The YMODEM receiver against a sender played by the test over a pseudo-terminal.
#include "timescale.h"
#include "workerline.h"
#include "ymodem.h"
#include "ymodemcode.h"
#include "ymodemtestaccess.h"

#include <QDir>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

namespace
{
// Bounds: packet wait 500 ms, pause before asking again 300 ms, start limit 6 s.
const double kScale = 0.1;

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i)
        data[i] = char((i * 13 + i / 509) & 0xFF);
    return data;
}

bool expect(WorkerLine& line, const QByteArray& bytes)
{
    return line.read(bytes.size(), 5000) == bytes;
}

// The blocks of a file as a standard sender cuts them (1024 while that much is left).
QList<QByteArray> blocksOf(const QByteArray& data)
{
    QList<QByteArray> blocks;
    int sent = 0;
    int number = 1;
    while (sent < data.size()) {
        const int n = data.size() - sent >= 1024 ? 1024 : 128;
        blocks << WorkerLine::block(number++, data.mid(sent, n), n);
        sent += n;
    }
    return blocks;
}

// A patient sender (as sz is): waits for the receiver's "C", then sends the whole batch.
bool sendBatch(WorkerLine& line, const QByteArray& headerText, const QByteArray& data)
{
    if (line.readByte(5000) != 'C')
        return false;
    line.write(WorkerLine::header(headerText));
    if (!expect(line, QByteArray(1, WorkerLine::ACK) + "C"))
        return false;
    for (const QByteArray& b : blocksOf(data)) {
        line.write(b);
        if (!expect(line, QByteArray(1, WorkerLine::ACK)))
            return false;
    }
    line.writeByte(WorkerLine::EOT);
    if (!expect(line, QByteArray(1, WorkerLine::ACK) + "C"))
        return false;
    line.write(WorkerLine::header(QByteArray()));
    return expect(line, QByteArray(1, WorkerLine::ACK));
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void startReceive(WorkerLine& line, const QString& folder)
{
    line.start([folder](YMODEM& w) {
        w.setReceiveFolder(folder);
        return w.receiveBatch();
    });
}

// A receive that takes only a file of the name asked for, as the console sequences ask.
void startReceiveOf(WorkerLine& line, const QString& folder, const QString& asked)
{
    line.start([folder, asked](YMODEM& w) {
        w.setReceiveFolder(folder);
        YmodemTestAccess::setRxCount(w, 0);
        YmodemTestAccess::setRxCapture(w, 1);
        const int result = w.Ymodem_Receive(asked);
        YmodemTestAccess::setRxCapture(w, 0);
        return result;
    });
}
} // namespace

class TestReceiver : public QObject
{
    Q_OBJECT

private slots:
    void init() { TimeScale::setFactor(kScale); }
    void cleanupTestCase() { TimeScale::setFactor(1.0); }

    void receiveSizes_data();
    void receiveSizes();
    void senderWithoutRequest();
    void defaultFolderIsPrivate();
    void corruptedBlockAskedAgain();
    void repeatedBlockIsSyncError();
    void endsInsideTheFile_data();
    void endsInsideTheFile();
    void hostileNames_data();
    void hostileNames();
    void refusedFiles_data();
    void refusedFiles();
    void senderCancels();
    void cutShort();
    void nothingSent();
    void captureBufferOverflow();
};

void TestReceiver::receiveSizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<QList<int>>("progress");
    for (int size : {0, 1, 127, 128, 129, 1023, 1024, 1025, 65537})
        QTest::newRow(qPrintable(QString::number(size))) << size << QList<int>();
    QTest::newRow("1500") << 1500 << QList<int>{68, 76, 85, 93, 100};
    QTest::newRow("300") << 300 << QList<int>{42, 85, 100};
}

void TestReceiver::receiveSizes()
{
    QFETCH(int, size);
    QFETCH(QList<int>, progress);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    const QByteArray data = pattern(size);
    // The fields after the size, as sz sends them, are not part of it.
    const QByteArray header =
        "r.bin" + QByteArray(1, '\0') + QByteArray::number(size) + " 15305644525 100644 0 1 1";
    QVERIFY(sendBatch(line, header, data));
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(line.paths(), QStringList(dir.filePath("r.bin")));
    QCOMPARE(readFile(dir.filePath("r.bin")), data);
    QVERIFY(!line.worker().receivedFileTruncated());

    const QList<int> seen = line.progress();
    QCOMPARE(seen.size(), blocksOf(data).size());
    if (!progress.isEmpty())
        QCOMPARE(seen, progress);
    if (size > 0)
        QCOMPARE(seen.last(), 100);
    for (int i = 1; i < seen.size(); ++i)
        QVERIFY(seen.at(i) >= seen.at(i - 1));
}

// The console sends its batch without waiting for a request.
void TestReceiver::senderWithoutRequest()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    QTest::qWait(100);
    const QByteArray data = pattern(1500);
    line.write(WorkerLine::header(QByteArray("u.bin\0"
                                             "1500",
                                             10)));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    for (const QByteArray& b : blocksOf(data)) {
        line.write(b);
        QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    }
    line.writeByte(WorkerLine::EOT);
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(WorkerLine::header(QByteArray()));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(readFile(dir.filePath("u.bin")), data);
}

void TestReceiver::defaultFolderIsPrivate()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    line.start([](YMODEM& w) { return w.receiveBatch(); });
    const QByteArray data = pattern(700);
    QVERIFY(sendBatch(line,
                      QByteArray("BrenvikDATA\0"
                                 "700",
                                 15),
                      data));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);

    const QString path = line.worker().receivedFilePath();
    const QFileInfo folder(QFileInfo(path).path());
    QCOMPARE(QFileInfo(path).fileName(), QString("BrenvikDATA"));
    const QString temp = QStandardPaths::standardLocations(QStandardPaths::TempLocation).first();
    QCOMPARE(QDir(folder.path()).canonicalPath(), QDir(temp).canonicalPath());
    const QFile::Permissions others = QFile::ReadGroup | QFile::WriteGroup | QFile::ExeGroup |
                                      QFile::ReadOther | QFile::WriteOther | QFile::ExeOther;
    const QFile::Permissions owner = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
    QCOMPARE(folder.permissions() & others, QFile::Permissions());
    QCOMPARE(folder.permissions() & owner, owner);
    QCOMPARE(readFile(path), data);
    QFile::remove(path);
    QDir().rmdir(folder.filePath());
}

// A block whose CRC does not match is not stored; the receiver asks again with "C".
void TestReceiver::corruptedBlockAskedAgain()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    const QByteArray data = pattern(2048 + 100);
    const QList<QByteArray> blocks = blocksOf(data);
    QCOMPARE(line.readByte(5000), int('C'));
    line.write(WorkerLine::header(QByteArray("c.bin\0"
                                             "2148",
                                             10)));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(blocks.at(0));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    line.write(WorkerLine::block(2, data.mid(1024, 1024), 1024, true));
    QCOMPARE(line.readByte(5000), int('C'));
    for (int i = 1; i < blocks.size(); ++i) {
        line.write(blocks.at(i));
        QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    }
    line.writeByte(WorkerLine::EOT);
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(WorkerLine::header(QByteArray()));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(readFile(dir.filePath("c.bin")), data);
}

void TestReceiver::repeatedBlockIsSyncError()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    const QByteArray data = pattern(3000);
    const QList<QByteArray> blocks = blocksOf(data);
    QCOMPARE(line.readByte(5000), int('C'));
    line.write(WorkerLine::header(QByteArray("s.bin\0"
                                             "3000",
                                             10)));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(blocks.at(0));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    line.write(blocks.at(0));
    QVERIFY(expect(line, QByteArray(2, WorkerLine::CAN)));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), -1);
    QVERIFY(line.worker().receivedFileTruncated());
}

void TestReceiver::endsInsideTheFile_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<int>("goodBlocks"); // sent and acknowledged first
    QTest::addColumn<QByteArray>("bad"); // then sent until the receiver gives up
    QTest::addColumn<int>("times");
    QTest::addColumn<int>("result");
    const QByteArray sized("x.bin\0"
                           "3000",
                           10);
    const QByteArray damaged = WorkerLine::block(2, pattern(1024), 1024, true);
    QTest::newRow("sender aborts with a")
        << sized << 0 << QByteArray("abort") << 1 << int(YmodemCode::Aborted);
    QTest::newRow("sender aborts with A")
        << sized << 0 << QByteArray("Abort") << 1 << int(YmodemCode::Aborted);
    // Giving up on a damaged line is a failure, never a finished file.
    QTest::newRow("six damaged blocks in a row")
        << sized << 1 << damaged << 6 << int(YmodemCode::BadPackets);
    QTest::newRow("six damaged blocks in a file without a size")
        << QByteArray("x.bin", 6) << 1 << damaged << 6 << int(YmodemCode::BadPackets);
}

// The session ends inside the file: CAN CAN, a failure, and the file is not taken as whole.
void TestReceiver::endsInsideTheFile()
{
    QFETCH(QByteArray, header);
    QFETCH(int, goodBlocks);
    QFETCH(QByteArray, bad);
    QFETCH(int, times);
    QFETCH(int, result);
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    QCOMPARE(line.readByte(5000), int('C'));
    line.write(WorkerLine::header(header));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    const QList<QByteArray> blocks = blocksOf(pattern(3000));
    for (int i = 0; i < goodBlocks; ++i) {
        line.write(blocks.at(i));
        QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    }
    for (int i = 1; i < times; ++i) {
        line.write(bad);
        QCOMPARE(line.readByte(5000), int('C'));
    }
    line.write(bad);
    QVERIFY(expect(line, QByteArray(2, WorkerLine::CAN)));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), result);
    QVERIFY(line.worker().receivedFileTruncated());
}

void TestReceiver::hostileNames_data()
{
    QTest::addColumn<QByteArray>("name");
    QTest::addColumn<QString>("stored"); // empty: refused
    QTest::addColumn<QString>("asked");  // the only name taken; empty: any
    const QString any;
    QTest::newRow("parent dirs") << QByteArray("../../evil.bin") << "evil.bin" << any;
    QTest::newRow("absolute") << QByteArray("/etc/evil.bin") << "evil.bin" << any;
    QTest::newRow("backslashes") << QByteArray("..\\..\\evil.bin") << "evil.bin" << any;
    QTest::newRow("dot dot") << QByteArray("..") << QString() << any;
    QTest::newRow("ends in dot dot") << QByteArray("sub/..") << QString() << any;
    QTest::newRow("dot") << QByteArray(".") << QString() << any;
    QTest::newRow("slash") << QByteArray("/") << QString() << any;
    // The users' data are saved only from the file asked for.
    QTest::newRow("not the file asked for") << QByteArray("other.db") << QString() << "BrenvikDATA";
    QTest::newRow("asked for under another case")
        << QByteArray("brenvikdata") << QString() << "BrenvikDATA";
    QTest::newRow("the file asked for") << QByteArray("BrenvikDATA") << "BrenvikDATA"
                                        << "BrenvikDATA";
    QTest::newRow("the file asked for, with its path")
        << QByteArray("/BrenvikDATA") << "BrenvikDATA"
        << "BrenvikDATA";
}

void TestReceiver::hostileNames()
{
    QFETCH(QByteArray, name);
    QFETCH(QString, stored);
    QFETCH(QString, asked);
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("a/b"));
    const QString folder = root.filePath("a/b");
    WorkerLine line;
    QVERIFY(line.isReady());
    if (asked.isEmpty())
        startReceive(line, folder);
    else
        startReceiveOf(line, folder, asked);
    const QByteArray data = pattern(200);
    if (stored.isEmpty()) {
        QCOMPARE(line.readByte(5000), int('C'));
        line.write(WorkerLine::header(name + '\0' + "200"));
        QVERIFY(expect(line, QByteArray(2, WorkerLine::CAN)));
        QVERIFY(line.waitFinished(5000));
        QCOMPARE(line.result(), -1);
        QVERIFY(line.paths().isEmpty());
    } else {
        QVERIFY(sendBatch(line, name + '\0' + "200", data));
        QVERIFY(line.waitFinished(5000));
        QCOMPARE(line.result(), 0);
        QCOMPARE(line.paths(), QStringList(folder + "/" + stored));
        QCOMPARE(readFile(folder + "/" + stored), data);
    }
    // Nothing landed outside the folder.
    QCOMPARE(QDir(root.filePath("a")).entryList(QDir::Files), QStringList());
    QCOMPARE(QDir(root.path()).entryList(QDir::Files), QStringList());
}

void TestReceiver::refusedFiles_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("refused");
    // The users' database is small: a header announcing more than the cap is refused before
    // anything is written.
    QTest::newRow("announced over the cap") << "over the cap" << true;
    QTest::newRow("announced at the cap") << "at the cap" << false;
    // A file does not grow past the size its header gave.
    QTest::newRow("a block beyond the announced size") << "beyond the size" << true;
    // However the sender trickles, a session has a total bound (ten minutes, scaled).
    QTest::newRow("session longer than its bound") << "trickle" << true;
}

void TestReceiver::refusedFiles()
{
    QFETCH(QString, kind);
    QFETCH(bool, refused);
    if (kind == "trickle")
        TimeScale::setFactor(0.015); // packet wait 75 ms, session bound 9 s
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    QCOMPARE(line.readByte(5000), int('C'));
    const QByteArray accepted = QByteArray(1, WorkerLine::ACK) + "C";
    const QByteArray cancel(2, WorkerLine::CAN);
    const QByteArray data = pattern(4096);
    QElapsedTimer took;
    took.start();
    if (kind == "over the cap" || kind == "at the cap") {
        const qint64 size = YMODEM::kMaxFileBytes + (kind == "over the cap" ? 1 : 0);
        line.write(WorkerLine::header("big.bin" + QByteArray(1, '\0') + QByteArray::number(size)));
        if (refused) {
            QCOMPARE(line.read(2, 5000), cancel);
        } else {
            QVERIFY(expect(line, accepted));
            line.write(cancel); // the sender gives up: an accepted, short file
            QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
        }
    } else if (kind == "beyond the size") {
        line.write(WorkerLine::header(QByteArray("b.bin\0"
                                                 "1024",
                                                 10)));
        QVERIFY(expect(line, accepted));
        line.write(WorkerLine::block(1, data, 1024));
        QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
        line.write(WorkerLine::block(2, data.mid(1024), 1024));
        QCOMPARE(line.read(2, 5000), cancel);
    } else {
        line.write(WorkerLine::header(QByteArray("slow.bin\0"
                                                 "9999999",
                                                 16)));
        QVERIFY(expect(line, accepted));
        int answer = WorkerLine::ACK;
        for (int number = 1; answer == WorkerLine::ACK && took.elapsed() < 30000; ++number) {
            QTest::qWait(15);
            line.write(WorkerLine::block(number, data, 1024));
            answer = line.readByte(5000);
        }
        QCOMPARE(answer, int(WorkerLine::CAN));
        QCOMPARE(line.readByte(5000), int(WorkerLine::CAN));
        // Ended by the bound, not before it.
        QVERIFY2(took.elapsed() >= TimeScale::ms(600000) * 8 / 10,
                 qPrintable(QString::number(took.elapsed())));
    }
    QVERIFY(line.waitFinished(10000));
    if (refused) {
        QCOMPARE(line.result(), int(YmodemCode::CancelledOnce));
        // Nothing of a refused file is kept.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files), QStringList());
        QVERIFY(line.worker().receivedFilePath().isEmpty() ||
                !QFileInfo::exists(line.worker().receivedFilePath()));
    } else {
        QCOMPARE(line.result(), int(YmodemCode::Done));
        QVERIFY(line.worker().receivedFileTruncated());
    }
}

// CAN CAN from the sender ends the session with 0; the short file is flagged.
void TestReceiver::senderCancels()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    const QByteArray data = pattern(5000);
    QCOMPARE(line.readByte(5000), int('C'));
    line.write(WorkerLine::header(QByteArray("k.bin\0"
                                             "5000",
                                             10)));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(blocksOf(data).at(0));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    line.write(QByteArray(2, WorkerLine::CAN));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QVERIFY(line.worker().receivedFileTruncated());
    QCOMPARE(readFile(dir.filePath("k.bin")), data.left(1024));
}

// The sender ends the file early: the header said more than came.
void TestReceiver::cutShort()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    const QByteArray data = pattern(2048);
    QVERIFY(sendBatch(line,
                      QByteArray("t.bin\0"
                                 "5000",
                                 10),
                      data));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QVERIFY(line.worker().receivedFileTruncated());
    QCOMPARE(readFile(dir.filePath("t.bin")), data);
    QCOMPARE(line.progress(), QList<int>({20, 40}));
}

void TestReceiver::nothingSent()
{
    TimeScale::setFactor(0.01); // a minute becomes 0.6 s
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    QVERIFY(line.waitFinished(10000));
    QCOMPARE(line.result(), int(YmodemCode::NoSender));
    const QByteArray said = line.readUntilQuiet(100);
    QVERIFY(said.endsWith(QByteArray(2, WorkerLine::CAN)));
    QVERIFY(said.startsWith("C"));
    QVERIFY(line.paths().isEmpty());
}

// A flood bigger than the capture buffer: the buffer starts over, the flood counts as one
// failed packet, and the transfer goes on once the line is quiet again.
void TestReceiver::captureBufferOverflow()
{
    WorkerLine line;
    QVERIFY(line.isReady());
    QTemporaryDir dir;
    startReceive(line, dir.path());
    const QByteArray data = pattern(3000);
    const QList<QByteArray> blocks = blocksOf(data);
    QCOMPARE(line.readByte(5000), int('C'));
    line.write(WorkerLine::header(QByteArray("o.bin\0"
                                             "3000",
                                             10)));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(QByteArray(40000, 'U'));
    QCOMPARE(line.readByte(5000), int('C'));
    for (const QByteArray& b : blocks) {
        line.write(b);
        QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    }
    line.writeByte(WorkerLine::EOT);
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK) + "C"));
    line.write(WorkerLine::header(QByteArray()));
    QVERIFY(expect(line, QByteArray(1, WorkerLine::ACK)));
    QVERIFY(line.waitFinished(5000));
    QCOMPARE(line.result(), 0);
    QCOMPARE(readFile(dir.filePath("o.bin")), data);
    QVERIFY(!line.worker().receivedFileTruncated());
}

QTEST_GUILESS_MAIN(TestReceiver)
#include "tst_receiver.moc"
