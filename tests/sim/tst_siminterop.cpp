#include "simfixture.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonObject>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QtTest>

// The simulated console's YMODEM against lrzsz, a peer nobody here wrote.
class TestSimInterop : public SimFixture
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!haveLrzsz())
            QSKIP("lrzsz (sz, rz) is not installed: run scripts/deps.sh");
    }
    void init() { setUp(); }
    void cleanup() { tearDown(); }

    void sendToRz_data()
    {
        QTest::addColumn<int>("size");
        for (int size : {0, 1500, 65537})
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

    void loaderUpdate_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("restartInLoader");
        const QStringList kind{"--reset-keeps-line", "--flash-keeps-files"};
        const QStringList real{"--reset-drops-line", "--flash-replaces-files"};
        QTest::newRow("straight") << kind << false;
        QTest::newRow("restart in loader once") << kind << true;
        QTest::newRow("line dropped, files replaced") << real << false;
        QTest::newRow("line dropped, restart in loader once") << real << true;
    }

    void loaderUpdate()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, restartInLoader);
        const QByteArray image = randomBytes(40000);
        QFile f(QDir(work).filePath("image.iso"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(image);
        f.close();
        SimOptions o = baseOptions();
        QVERIFY(o.parse(args + QStringList{"--dir", dir, "--link", tmp->filePath("ttyConsole")},
                        nullptr));
        o.timeScale = 0.1;
        o.restartInLoaderAfterImage = restartInLoader;
        startConsole(o);
        writeConsoleFile("notes.txt", "kept unless flashed");
        enterShell();
        peer.command("mv /R-BTM093004_.cyacd /R-BTM093004.cyacd\r\n", 100);
        peer.command("spi delsect 4095\r\n", 100);
        peer.write("reset\r\n");
        // The updater closes its port across the restart and opens the same name again.
        followRestart();
        QTRY_COMPARE(stateText(), QString("loader"));
        QVERIFY(peer.readUntil("CC", 5000).contains("CC"));
        QVERIFY(peer.command("VE\r\n", 300).contains("CCCC"));
        for (int round = 0; round < (restartInLoader ? 2 : 1); ++round) {
            QCOMPARE(runPeer("sz", {"--ymodem", "-k", "image.iso"}), 0);
            const char* next = round == 0 && restartInLoader ? "loader" : "application";
            QTRY_COMPARE_WITH_TIMEOUT(stateText(), QString("programming"), 10000);
            followRestart();
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
        // The image is the file system: the users' data and everything else are gone, and the
        // module image is the new one's, not yet renamed.
        const bool replaced = o.flashReplacesFiles;
        QCOMPARE(s.value("usersDbPresent").toBool(), !replaced);
        QCOMPARE(QFileInfo::exists(QDir(dir).filePath("notes.txt")), !replaced);
        QCOMPARE(s.value("modulePresent").toBool(), replaced);
        QCOMPARE(s.value("renamedModulePresent").toBool(), !replaced);
        QCOMPARE(s.value("replugs").toInt(), o.resetDropsLine ? (restartInLoader ? 3 : 2) : 0);
        // Without an erase a reset comes back in the application.
        enterShell();
        peer.write("reset\r\n");
        followRestart();
        QTRY_COMPARE(stateText(), QString("application"));
        QCOMPARE(console->resetCount(), 2);
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
};

QTEST_GUILESS_MAIN(TestSimInterop)
#include "tst_siminterop.moc"
