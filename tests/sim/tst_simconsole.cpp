#include "simfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QtTest>

// The simulated console over its pseudo-terminal, driven byte by byte as the updater does.
class TestSimConsole : public SimFixture
{
    Q_OBJECT

private slots:
    void init() { setUp(); }
    void cleanup() { tearDown(); }

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

    void startInLoader()
    {
        SimOptions o = baseOptions();
        o.startInLoader = true;
        startConsole(o);
        QVERIFY(peer.readUntil("C", 5000).contains('C'));
        QVERIFY(peer.command("VE\r\n", 300).contains("CCCC"));
        QCOMPARE(stateText(), QString("loader"));
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

    void silentInLoader_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<bool>("polls"); // "C" requests before the step
        QTest::newRow("loader") << "loader" << false;
        QTest::newRow("reply:VE") << "reply:VE" << true;
    }
    void silentInLoader()
    {
        QFETCH(QString, step);
        QFETCH(bool, polls);
        SimOptions o = baseOptions();
        o.startInLoader = true;
        o.silentAt = step;
        startConsole(o);
        QCOMPARE(peer.readUntil("C", 1000).contains('C'), polls);
        peer.write("VE\r\n");
        QTRY_COMPARE(stateText(), QString("silent"));
        peer.readFor(200);
        QVERIFY(peer.readFor(500).isEmpty());
    }

    void silentInTransfer()
    {
        // Falls silent when block 2 arrives: no answer to it, nor to anything after.
        SimOptions o = baseOptions();
        o.silentAt = "block:2";
        startConsole(o);
        enterShell();
        peer.write("receive file\r\n");
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray("z.bin\0"
                                           "300",
                                           9)));
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(1, randomBytes(128)));
        QVERIFY(peer.readUntil(QByteArray(1, ACK), 3000).contains(ACK));
        peer.write(makeBlock(2, randomBytes(128)));
        QTRY_COMPARE(stateText(), QString("silent"));
        QVERIFY(peer.readFor(500).isEmpty());
        QCOMPARE(console->status().value("lastStep").toString(), QString("block:2"));
    }

    // A console that trickles must keep the line busy, or the updater's wait for a start is
    // only ever tried against silence.
    void trickleNeverStarts_data()
    {
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<QString>("state");
        QTest::newRow("asked to send") << QByteArray("send file /BrenvikDATA\r\n") << "sending";
        QTest::newRow("asked to receive") << QByteArray("receive file\r\n") << "receiving";
    }
    void trickleNeverStarts()
    {
        QFETCH(QByteArray, command);
        QFETCH(QString, state);
        SimOptions o = baseOptions();
        o.trickle = true;
        startConsole(o);
        enterShell();
        peer.write(command);
        QByteArray got;
        for (int i = 0; i < 8; ++i) {
            peer.write("C"); // a receiver asking, should the console be the sender
            got += peer.readFor(100);
        }
        // One stray byte per poll (100 ms here), and nothing else: no request, no packet.
        QVERIFY2(got.size() >= 4, qPrintable(QString::number(got.size())));
        QCOMPARE(got.count(char(0xFF)), got.size());
        QCOMPARE(stateText(), state);
    }

    void lineDropped_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("linkMode"); // "", "link" or "folder"
        QTest::addColumn<bool>("erase");
        QTest::addColumn<bool>("samePath");
        QTest::addColumn<int>("hangups");
        const QStringList reset{"--reset-drops-line"};
        QTest::newRow("cable pulled, plugged in again")
            << QStringList{"--hangup-at", "cmd:reset", "--replug-after-ms", "300"} << "" << true
            << false << 1;
        QTest::newRow("reset: same link") << reset << "link" << false << true << 0;
        QTest::newRow("reset into the loader: same link") << reset << "link" << true << true << 0;
        QTest::newRow("reset: the next link in a folder")
            << reset << "folder" << true << false << 0;
        QTest::newRow("reset: no link, a new device") << reset << "" << false << false << 0;
    }

    void lineDropped()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, linkMode);
        QFETCH(bool, erase);
        QFETCH(bool, samePath);
        QFETCH(int, hangups);
        SimOptions o = baseOptions();
        QVERIFY(o.parse(args + QStringList{"--dir", dir, "--time-scale", "0.1"}, nullptr));
        if (linkMode == "link")
            o.link = tmp->filePath("ttyConsole");
        else if (linkMode == "folder")
            o.linkDir = tmp->filePath("dev");
        startConsole(o);
        const QString port = console->portPath(), device = console->slavePath();
        enterShell();
        if (erase)
            peer.command("spi delsect 4095\r\n");
        peer.write("reset\r\n");
        // The port held open sees the hang-up, and the device goes although it is still held.
        QVERIFY(peer.waitHangUp(3000));
        QTRY_VERIFY(!QFileInfo::exists(device));
        QTRY_COMPARE_WITH_TIMEOUT(console->status().value("replugs").toInt(), 1, 5000);
        QCOMPARE(console->portPath() == port, samePath);
        QVERIFY(console->slavePath() != device);
        if (linkMode == "folder") {
            QCOMPARE(QFileInfo(port).fileName(), QString("ttyACM0"));
            QCOMPARE(QFileInfo(console->portPath()).fileName(), QString("ttyACM1"));
            QVERIFY(!QFileInfo::exists(port));
        }
        peer.close();
        QVERIFY(peer.open(console->portPath()));
        QTRY_COMPARE(stateText(), QString(erase ? "loader" : "application"));
        const QByteArray ve = peer.command("VE\r\n", 500);
        QVERIFY2(erase ? ve.contains("CCCC") : ve == "01020304\r\n", ve.constData());
        QCOMPARE(console->status().value("hangups").toInt(), hangups);
    }

    void twoConsoles()
    {
        // Two consoles on one computer, their links in one folder: each keeps its identity and
        // its files, and a reset of one moves its link past the other's.
        SimOptions a = baseOptions();
        a.resetDropsLine = true;
        a.linkDir = tmp->filePath("dev");
        SimOptions b = a;
        b.dir = tmp->filePath("console-b");
        b.sn = "SN\tBRV2403009999\tE7";
        startConsole(a);
        SimConsole other(b);
        QString error;
        QVERIFY2(other.start(&error), qPrintable(error));
        QCOMPARE(QFileInfo(console->portPath()).fileName(), QString("ttyACM0"));
        QCOMPARE(QFileInfo(other.portPath()).fileName(), QString("ttyACM1"));
        LinePeer otherPeer;
        QVERIFY(otherPeer.open(other.portPath()));
        QCOMPARE(otherPeer.command("SN\r\n", 200), QByteArray("SN\tBRV2403009999\tE7\r\n"));
        QCOMPARE(peer.command("SN\r\n", 200), QByteArray("SN\tBRV2403001234\tE7\r\n"));
        QFile dbA(QDir(dir).filePath("BrenvikDATA")), dbB(QDir(b.dir).filePath("BrenvikDATA"));
        QVERIFY(dbA.open(QIODevice::ReadOnly) && dbB.open(QIODevice::ReadOnly));
        const QByteArray otherData = dbB.readAll();
        QVERIFY(dbA.readAll() != otherData);
        QCOMPARE(other.status().value("serialNumber").toString(), QString("BRV2403009999"));

        enterShell();
        peer.command("rm /BrenvikDATA\r\n");
        peer.write("reset\r\n");
        followRestart();
        QCOMPARE(QFileInfo(console->portPath()).fileName(), QString("ttyACM2"));
        QCOMPARE(otherPeer.command("VE\r\n", 200), QByteArray("01020304\r\n"));
        QVERIFY(dbB.seek(0));
        QCOMPARE(dbB.readAll(), otherData);
        QCOMPARE(other.status().value("replugs").toInt(), 0);
        otherPeer.close();
        other.stop();
    }

    void eraseBeforeHeaderAck_data()
    {
        QTest::addColumn<bool>("poll");
        QTest::newRow("quiet erase") << false;
        QTest::newRow("polls with C while erasing") << true;
    }

    void eraseBeforeHeaderAck()
    {
        QFETCH(bool, poll);
        SimOptions o = baseOptions();
        o.startInLoader = true;
        o.eraseMs = 4000;
        o.pollMs = 500;
        o.pollDuringErase = poll;
        startConsole(o);
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        peer.write(makeBlock(0, QByteArray("image.iso\0"
                                           "128",
                                           13)));
        const QByteArray got = peer.readUntil(QByteArray(1, ACK), 5000);
        QVERIFY(got.contains(ACK));
        // A "C" already on its way when the header went may come; polling sends one per 50 ms.
        const int requests = got.left(got.indexOf(ACK)).count('C');
        QVERIFY2(poll ? requests >= 3 : requests <= 1, qPrintable(QString::number(requests)));
    }

    void hangUpOnceInLoader()
    {
        SimOptions o = baseOptions();
        o.startInLoader = true;
        o.hangupAt = "loader";
        o.replugAfterMs = 200;
        startConsole(o);
        const QString first = console->slavePath();
        QTRY_VERIFY(console->slavePath() != first);
        peer.close();
        QVERIFY(peer.open(console->slavePath()));
        QVERIFY(peer.readUntil("C", 3000).contains('C'));
        QCOMPARE(console->status().value("hangups").toInt(), 1);
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
