#include "linepeer.h"
#include "simconsole.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <memory>

namespace
{
const char SOH = 0x01, EOT = 0x04, ACK = 0x06, NAK = 0x15, CAN = 0x18;

quint16 crcOf(const QByteArray& data)
{
    quint16 crc = 0;
    for (char byte : data) {
        crc ^= quint16(quint8(byte)) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray makeBlock(int number, QByteArray data)
{
    data.append(QByteArray(128 - data.size(), number == 0 ? '\0' : 0x1A));
    QByteArray b;
    b.append(SOH).append(char(number)).append(char(0xFF - number)).append(data);
    const quint16 crc = crcOf(data);
    b.append(char(crc >> 8)).append(char(crc & 0xFF));
    return b;
}

QByteArray randomBytes(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(QRandomGenerator::global()->bounded(256));
    return b;
}
} // namespace

class TestSimConsole : public QObject
{
    Q_OBJECT

private:
    std::unique_ptr<QTemporaryDir> tmp;
    std::unique_ptr<SimConsole> console;
    LinePeer peer;
    QString dir, work;

    SimOptions baseOptions() const
    {
        SimOptions o;
        o.dir = dir;
        o.timeScale = 0.1;
        return o;
    }
    void startConsole(const SimOptions& o)
    {
        console = std::make_unique<SimConsole>(o);
        QString error;
        QVERIFY2(console->start(&error), qPrintable(error));
        QVERIFY(peer.open(console->slavePath()));
    }
    QString stateText() const { return console->status().value("state").toString(); }
    QJsonObject lastTransfer() const { return console->status().value("lastTransfer").toObject(); }
    void enterShell() { QVERIFY(!peer.command("SHELL\r\n", 200).isEmpty()); }
    // Runs an lrzsz program on the console's line; -1 when it had to be stopped.
    int runPeer(const QString& program, const QStringList& args, int timeoutMs = 60000)
    {
        QProcess p;
        p.setWorkingDirectory(work);
        p.setStandardInputFile(console->slavePath());
        p.setStandardOutputFile(console->slavePath(), QIODevice::Append);
        p.setStandardErrorFile(QProcess::nullDevice());
        p.start(program, args);
        if (!p.waitForStarted(5000))
            return -2;
        if (!p.waitForFinished(timeoutMs)) {
            p.kill();
            p.waitForFinished(2000);
            return -1;
        }
        return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    QByteArray readWork(const QString& name) const
    {
        QFile f(QDir(work).filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    void writeConsoleFile(const QString& name, const QByteArray& data) const
    {
        QVERIFY(QDir().mkpath(dir));
        QFile f(QDir(dir).filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }

private slots:
    void initTestCase()
    {
        if (QStandardPaths::findExecutable("sz").isEmpty() ||
            QStandardPaths::findExecutable("rz").isEmpty())
            QSKIP("lrzsz (sz, rz) is not installed: run scripts/deps.sh");
    }
    void init()
    {
        tmp = std::make_unique<QTemporaryDir>();
        QVERIFY(tmp->isValid());
        dir = tmp->filePath("console");
        work = tmp->filePath("peer");
        QVERIFY(QDir().mkpath(work));
    }
    void cleanup()
    {
        peer.close();
        if (console)
            console->stop();
        console.reset();
        tmp.reset();
    }

    void infoReplies_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QByteArray>("reply");
        QTest::newRow("VE") << QStringList() << QByteArray("VE\r\n") << QByteArray("01020304\r\n");
        QTest::newRow("BV") << QStringList() << QByteArray("BV\r\n") << QByteArray("2.1.7\r\n");
        QTest::newRow("KI") << QStringList() << QByteArray("KI\r\n")
                            << QByteArray("MON-000417\tBrenvik E7 Console\r\n");
        QTest::newRow("CA") << QStringList() << QByteArray("CA\r\n")
                            << QByteArray("ART-7730-021\r\n");
        QTest::newRow("SN") << QStringList() << QByteArray("SN\r\n")
                            << QByteArray("SN\tBRV2403001234\tE7\r\n");
        QTest::newRow("VE too old")
            << QStringList{"--too-old"} << QByteArray("VE\r\n") << QByteArray("01000100\r\n");
        QTest::newRow("VE given") << QStringList{"--version", "07020001"} << QByteArray("VE\r\n")
                                  << QByteArray("07020001\r\n");
        QTest::newRow("SN given") << QStringList{"--sn", "x\\ty"} << QByteArray("SN\r\n")
                                  << QByteArray("x\ty\r\n");
        QTest::newRow("junk") << QStringList{"--reply-junk", "\\x7f#"} << QByteArray("CA\r\n")
                              << QByteArray("\x7f#ART-7730-021\r\n");
    }
    void infoReplies()
    {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, command);
        QFETCH(QByteArray, reply);
        SimOptions o = baseOptions();
        QString error;
        QVERIFY2(o.parse(args + QStringList{"--dir", dir, "--time-scale", "0.1"}, &error),
                 qPrintable(error));
        startConsole(o);
        // The updater waits 1 s after "VE" and 200 ms after the others.
        QCOMPARE(peer.command(command, 200), reply);
    }

    void defaultRepliesParse()
    {
        // The default identity must come through the updater's parsing: version digits after
        // two characters and no "C" (which would mean the loader), BV three dotted fields,
        // KI and SN with a TAB-separated second field.
        startConsole(baseOptions());
        const QString ve = QString::fromLatin1(peer.command("VE\r\n", 200)).remove("\r\n");
        QVERIFY(!ve.contains('C'));
        bool ok = false;
        QVERIFY(ve.mid(2).toInt(&ok) > 0 && ok);
        QVERIFY(QString::fromLatin1(peer.command("BV\r\n", 200)).remove("\r\n").split('.').size() >=
                3);
        QVERIFY(!QString::fromLatin1(peer.command("KI\r\n", 200))
                     .remove("\r\n")
                     .split('\t')
                     .value(1)
                     .isEmpty());
        QVERIFY(!QString::fromLatin1(peer.command("SN\r\n", 200))
                     .remove("\r\n")
                     .split('\t')
                     .value(1)
                     .isEmpty());
    }

    void shellCommands()
    {
        startConsole(baseOptions());
        QVERIFY(peer.command("exit\r\n", 100).isEmpty()); // not in the shell: nothing
        enterShell();
        QCOMPARE(stateText(), QString("shell"));
        QVERIFY(!peer.command("\r\n\r\n", 100).isEmpty());
        QVERIFY(peer.command("spi delsect 4095\r\n").contains("erased"));
        QVERIFY(console->status().value("sectorErased").toBool());
        peer.command("mv /R-BTM093004_.cyacd /R-BTM093004.cyacd\r\n");
        QVERIFY(QFileInfo::exists(QDir(dir).filePath("R-BTM093004.cyacd")));
        QVERIFY(!QFileInfo::exists(QDir(dir).filePath("R-BTM093004_.cyacd")));
        QVERIFY(console->status().value("moduleRenamed").toBool());
        QVERIFY(console->status().value("usersDbPresent").toBool());
        peer.command("rm /BrenvikDATA\r\n");
        QVERIFY(!QFileInfo::exists(QDir(dir).filePath("BrenvikDATA")));
        QVERIFY(!console->status().value("usersDbPresent").toBool());
        // Nothing outside the console's folder is reachable.
        QVERIFY(peer.command("rm /../peer\r\n").contains("bad path"));
        QVERIFY(QFileInfo::exists(work));
        QVERIFY(peer.command("frobnicate\r\n").contains("unknown command"));
        peer.command("exit\r\n", 100);
        QCOMPARE(stateText(), QString("application"));
        QCOMPARE(peer.command("VE\r\n", 200), QByteArray("01020304\r\n"));
    }

    void sendToRz_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 1500, 65537})
            QTest::newRow(qPrintable(QString::number(size))) << size;
    }
    void sendToRz()
    {
        QFETCH(int, size);
        const QByteArray data = randomBytes(size);
        writeConsoleFile("payload.bin", data);
        startConsole(baseOptions());
        enterShell();
        peer.write("send file /payload.bin");
        QTest::qWait(50);
        peer.command("\r\n", 100);
        runPeer("rz", {"--ymodem", "-y"});
        QCOMPARE(readWork("payload.bin"), data);
        QTRY_COMPARE_WITH_TIMEOUT(lastTransfer().value("outcome").toString(), QString("done"),
                                  10000);
        QTRY_COMPARE(stateText(), QString("shell"));
    }

    void receiveFromSz_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1, 127, 128, 129, 1023, 1024, 1025, 1500, 65537})
            QTest::newRow(qPrintable(QString::number(size))) << size;
    }
    void receiveFromSz()
    {
        QFETCH(int, size);
        const QByteArray data = randomBytes(size);
        QFile f(QDir(work).filePath("BrenvikDATA"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
        f.close();
        startConsole(baseOptions());
        enterShell();
        peer.command("receive file\r\n", 0);
        QCOMPARE(runPeer("sz", {"--ymodem", "BrenvikDATA"}), 0);
        QTRY_COMPARE(stateText(), QString("shell"));
        QFile got(QDir(dir).filePath("BrenvikDATA"));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QCOMPARE(got.readAll(), data);
        QCOMPARE(console->status().value("usersDbReceived").toInt(), 1);
    }

    void receiveEndsWithoutClosingHeader()
    {
        // The updater's own sender sends no closing header and goes on with "\r\n" and
        // "exit\r\n": the receive ends there, the text still reaches the shell, and the
        // stored file ends at the header's size.
        startConsole(baseOptions());
        enterShell();
        peer.write("receive file\r\n");
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray("../../evil/notes.txt\0"
                                           "5",
                                           23)));
        QVERIFY(peer.readUntil(QByteArray(1, ACK) + "C", 3000).contains(QByteArray(1, ACK) + "C"));
        peer.write(makeBlock(1, "hello world"));
        QVERIFY(peer.readUntil(QByteArray(1, ACK), 3000).endsWith(ACK));
        peer.write(QByteArray(1, EOT));
        QVERIFY(peer.readUntil(QByteArray(1, ACK), 3000).contains(ACK));
        peer.write("\r\n");
        QTest::qWait(50);
        peer.write("exit\r\n");
        QTRY_COMPARE(stateText(), QString("application"));
        QFile got(QDir(dir).filePath("notes.txt"));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QCOMPARE(got.readAll(), QByteArray("hello"));
        QVERIFY(!QFileInfo::exists(tmp->filePath("evil")));
    }

    void sendHeaderAndCancel()
    {
        startConsole(baseOptions());
        enterShell();
        peer.write("send file /BrenvikDATA");
        QTest::qWait(50);
        peer.command("\r\n", 100);
        peer.write("C");
        const QByteArray header = peer.readCount(133, 3000).left(133);
        QCOMPARE(header.size(), 133);
        QCOMPARE(header.left(3), QByteArray("\x01\x00\xff", 3));
        const QByteArray size =
            QByteArray::number(QFileInfo(QDir(dir).filePath("BrenvikDATA")).size());
        QCOMPARE(header.mid(3, 12 + size.size() + 1),
                 QByteArray("BrenvikDATA\0", 12) + size + '\0');
        const quint16 crc = crcOf(header.mid(3, 128));
        QCOMPARE(quint8(header[131]), quint8(crc >> 8));
        QCOMPARE(quint8(header[132]), quint8(crc & 0xFF));
        peer.write(QByteArray(2, CAN));
        QTRY_COMPARE(lastTransfer().value("outcome").toString(), QString("peer-cancelled"));
        QTRY_COMPARE(stateText(), QString("shell"));
    }

    void usersDatabase_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("users"); // -1: not a sound database
        QTest::newRow("normal") << "normal" << 3;
        QTest::newRow("empty") << "empty" << 0;
        QTest::newRow("corrupt") << "corrupt" << -1;
    }
    void usersDatabase()
    {
        QFETCH(QString, kind);
        QFETCH(int, users);
        SimOptions o = baseOptions();
        QVERIFY(o.parse({"--dir", dir, "--users-db", kind}, nullptr));
        o.timeScale = 0.1;
        startConsole(o);
        enterShell();
        peer.write("send file /BrenvikDATA");
        QTest::qWait(50);
        peer.command("\r\n", 100);
        runPeer("rz", {"--ymodem", "-y"});
        const QString local = QDir(work).filePath("BrenvikDATA");
        QVERIFY(QFileInfo::exists(local));
        if (users == 0) {
            QCOMPARE(QFileInfo(local).size(), 0);
            return;
        }
        int count = -1;
        QString integrity;
        {
            QSqlDatabase db = QSqlDatabase::addDatabase("QSQLITE", "check");
            db.setDatabaseName(local);
            QVERIFY(db.open());
            QSqlQuery q("PRAGMA integrity_check", db);
            if (q.next())
                integrity = q.value(0).toString();
            QSqlQuery c("SELECT COUNT(*) FROM users", db);
            if (c.next())
                count = c.value(0).toInt();
        }
        QSqlDatabase::removeDatabase("check");
        if (users < 0) {
            QVERIFY(integrity.compare("ok", Qt::CaseInsensitive) != 0);
        } else {
            QCOMPARE(integrity, QString("ok"));
            QCOMPARE(count, users);
        }
    }

    void missingUsersDatabaseIsRefused()
    {
        SimOptions o = baseOptions();
        o.usersDb = SimOptions::UsersDb::None;
        startConsole(o);
        enterShell();
        peer.write("send file /BrenvikDATA");
        QTest::qWait(50);
        peer.command("\r\n", 100);
        peer.write("C");
        QCOMPARE(peer.readUntil(QByteArray(2, CAN), 3000), QByteArray(2, CAN));
        QTRY_COMPARE(stateText(), QString("shell"));
    }

    void loaderUpdate_data()
    {
        QTest::addColumn<bool>("restartInLoader");
        QTest::newRow("straight") << false;
        QTest::newRow("restart in loader once") << true;
    }
    void loaderUpdate()
    {
        QFETCH(bool, restartInLoader);
        const QByteArray image = randomBytes(40000);
        QFile f(QDir(work).filePath("image.iso"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(image);
        f.close();
        SimOptions o = baseOptions();
        o.restartInLoaderAfterImage = restartInLoader;
        startConsole(o);
        enterShell();
        peer.command("spi delsect 4095\r\n", 100);
        peer.command("reset\r\n", 100);
        // The updater closes its port across the restart and opens the same name again.
        const QString path = console->slavePath();
        peer.close();
        QTRY_COMPARE(stateText(), QString("loader"));
        QVERIFY(peer.open(path));
        QVERIFY(peer.readUntil("CC", 5000).contains("CC"));
        QVERIFY(peer.command("VE\r\n", 300).contains("CCCC"));
        for (int round = 0; round < (restartInLoader ? 2 : 1); ++round) {
            QCOMPARE(runPeer("sz", {"--ymodem", "-k", "image.iso"}), 0);
            const char* next = round == 0 && restartInLoader ? "loader" : "application";
            QTRY_COMPARE_WITH_TIMEOUT(stateText(), QString("programming"), 10000);
            QTRY_COMPARE_WITH_TIMEOUT(stateText(), QString(next), 10000);
            QFile stored(QDir(dir).filePath("firmware.bin"));
            QVERIFY(stored.open(QIODevice::ReadOnly));
            QCOMPARE(stored.readAll(), image);
        }
        QCOMPARE(peer.command("VE\r\n", 300), QByteArray("01020500\r\n"));
        const QJsonObject s = console->status();
        QCOMPARE(s.value("resetCount").toInt(), 1);
        QCOMPARE(s.value("imagesProgrammed").toInt(), 1);
        QCOMPARE(s.value("imageName").toString(), QString("image.iso"));
        QCOMPARE(s.value("sectorErased").toBool(), false);
        // Without an erase a reset comes back in the application.
        enterShell();
        peer.command("reset\r\n", 100);
        QTRY_COMPARE(stateText(), QString("application"));
        QCOMPARE(console->resetCount(), 2);
    }

    void startInLoader()
    {
        SimOptions o = baseOptions();
        o.startInLoader = true;
        startConsole(o);
        QVERIFY(peer.readUntil("C", 5000).contains('C'));
        QVERIFY(peer.command("VE\r\n", 300).contains("CCCC"));
        QCOMPARE(stateText(), QString("loader"));
    }

    void transferFaults_data()
    {
        QTest::addColumn<QString>("direction"); // "send": rz takes from the console
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("arrives");
        QTest::addColumn<QString>("outcome");
        QTest::newRow("send: bad CRC once")
            << "send" << QStringList{"--corrupt-block", "2"} << true << "done";
        QTest::newRow("send: block twice")
            << "send" << QStringList{"--nak-block", "2"} << true << "done";
        QTest::newRow("send: cancel")
            << "send" << QStringList{"--cancel-block", "2"} << false << "we-cancelled";
        QTest::newRow("receive: NAK once")
            << "receive" << QStringList{"--nak-block", "1"} << true << "done";
        QTest::newRow("receive: cancel")
            << "receive" << QStringList{"--cancel-block", "1"} << false << "we-cancelled";
        QTest::newRow("receive: cancel header")
            << "receive" << QStringList{"--cancel-block", "0"} << false << "we-cancelled";
        QTest::newRow("fault elsewhere")
            << "receive" << QStringList{"--cancel-block", "1", "--fault-transfer", "loader"} << true
            << "done";
    }
    void transferFaults()
    {
        QFETCH(QString, direction);
        QFETCH(QStringList, args);
        QFETCH(bool, arrives);
        QFETCH(QString, outcome);
        const QByteArray data = randomBytes(5000);
        SimOptions o = baseOptions();
        QString error;
        QVERIFY2(o.parse(args + QStringList{"--dir", dir}, &error), qPrintable(error));
        o.timeScale = 0.1;
        if (direction == "send")
            writeConsoleFile("data.bin", data);
        QFile f(QDir(work).filePath("data.bin"));
        if (direction == "receive") {
            QVERIFY(f.open(QIODevice::WriteOnly));
            f.write(data);
            f.close();
        }
        startConsole(o);
        enterShell();
        if (direction == "send") {
            peer.write("send file /data.bin");
            QTest::qWait(50);
            peer.command("\r\n", 100);
            runPeer("rz", {"--ymodem", "-y"}, 30000);
        } else {
            peer.command("receive file\r\n", 0);
            runPeer("sz", {"--ymodem", "data.bin"}, 30000);
        }
        QTRY_COMPARE_WITH_TIMEOUT(lastTransfer().value("outcome").toString(), outcome, 20000);
        QTRY_COMPARE(stateText(), QString("shell"));
        QFile got(direction == "send" ? QDir(work).filePath("data.bin")
                                      : QDir(dir).filePath("data.bin"));
        QCOMPARE(got.open(QIODevice::ReadOnly) && got.readAll() == data, arrives);
    }

    void wrongAnswerThenAck()
    {
        // --corrupt-block on the receiving side answers the block once with a wrong byte; a
        // sender that sends it again is then acknowledged.
        SimOptions o = baseOptions();
        o.corruptBlock = 1;
        startConsole(o);
        enterShell();
        peer.write("receive file\r\n");
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray("x.bin\0"
                                           "3",
                                           7)));
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(1, "abc"));
        const QByteArray answer = peer.readFor(300);
        QVERIFY(!answer.isEmpty() && !answer.contains(ACK));
        peer.write(makeBlock(1, "abc"));
        QVERIFY(peer.readUntil(QByteArray(1, ACK), 3000).contains(ACK));
        peer.write(QByteArray(1, EOT));
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray()));
        QTRY_COMPARE(stateText(), QString("shell"));
        QFile got(QDir(dir).filePath("x.bin"));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QCOMPARE(got.readAll(), QByteArray("abc"));
    }

    void badBlockIsNakedNotStored()
    {
        startConsole(baseOptions());
        enterShell();
        peer.write("receive file\r\n");
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray("y.bin\0"
                                           "3",
                                           7)));
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        QByteArray bad = makeBlock(1, "abc");
        bad[10] = 'X';
        peer.write(bad);
        QVERIFY(peer.readUntil(QByteArray(1, NAK), 3000).contains(NAK));
        peer.write(makeBlock(1, "abc"));
        QVERIFY(peer.readUntil(QByteArray(1, ACK), 3000).contains(ACK));
        peer.write(makeBlock(1, "abc")); // a repeat after a lost ACK
        QVERIFY(peer.readUntil(QByteArray(1, ACK), 3000).contains(ACK));
        peer.write(QByteArray(1, EOT));
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray()));
        QTRY_COMPARE(stateText(), QString("shell"));
        QFile got(QDir(dir).filePath("y.bin"));
        QVERIFY(got.open(QIODevice::ReadOnly));
        QCOMPARE(got.readAll(), QByteArray("abc"));
    }

    void silentAt()
    {
        SimOptions o = baseOptions();
        o.silentAt = "reply:KI";
        startConsole(o);
        QCOMPARE(peer.command("VE\r\n", 200), QByteArray("01020304\r\n"));
        QVERIFY(peer.command("KI\r\n", 300).isEmpty());
        QVERIFY(peer.command("VE\r\n", 300).isEmpty()); // silent for good
        QCOMPARE(stateText(), QString("silent"));
    }

    void hangUpAndReplug()
    {
        SimOptions o = baseOptions();
        o.hangupAt = "cmd:reset";
        o.replugAfterMs = 300;
        startConsole(o);
        const QString first = console->slavePath();
        enterShell();
        peer.write("spi delsect 4095\r\nreset\r\n");
        QTRY_COMPARE(console->status().value("hangups").toInt(), 1);
        // The old line is gone: reading it ends at once with a hang-up.
        peer.readFor(200);
        QTRY_VERIFY(console->slavePath() != first);
        QTRY_COMPARE(stateText(), QString("loader"));
        peer.close();
        QVERIFY(peer.open(console->slavePath()));
        QVERIFY(peer.command("VE\r\n", 500).contains("CCCC"));
    }

    void hangUpEndsTheLine()
    {
        SimOptions o = baseOptions();
        o.hangupAt = "reply:VE";
        startConsole(o);
        peer.write("VE\r\n");
        QTRY_COMPARE(stateText(), QString("hungup"));
        QVERIFY(!QFileInfo::exists(console->slavePath()) || peer.readFor(100).isEmpty());
    }

    void peerReopensTheLine()
    {
        startConsole(baseOptions());
        for (int i = 0; i < 3; ++i) {
            peer.close();
            QVERIFY(peer.open(console->slavePath()));
            QCOMPARE(peer.command("CA\r\n", 200), QByteArray("ART-7730-021\r\n"));
        }
    }
};

QTEST_GUILESS_MAIN(TestSimConsole)
#include "tst_simconsole.moc"
