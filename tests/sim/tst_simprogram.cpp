#include "linepeer.h"
#include "simoptions.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

// The sim-console program as scripts and other tests start it.
class TestSimProgram : public QObject
{
    Q_OBJECT

private:
    static QString program()
    {
        const QByteArray build = qgetenv("UPDATER_BUILD_DIR");
        return QDir(QString::fromLocal8Bit(build)).filePath("sim/sim-console");
    }

private slots:
    void options_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("valid");
        QTest::newRow("minimal") << QStringList{"--dir", "/tmp/x"} << true;
        QTest::newRow("no dir") << QStringList{"--version", "01020304"} << false;
        QTest::newRow("unknown") << QStringList{"--dir", "d", "--colour"} << false;
        QTest::newRow("inline value") << QStringList{"--dir=d", "--cancel-block=3"} << true;
        QTest::newRow("negative block") << QStringList{"--dir", "d", "--nak-block", "-1"} << false;
        QTest::newRow("missing value") << QStringList{"--dir", "d", "--link"} << false;
        QTest::newRow("bad scale") << QStringList{"--dir", "d", "--time-scale", "0"} << false;
        QTest::newRow("bad db kind") << QStringList{"--dir", "d", "--users-db", "huge"} << false;
        QTest::newRow("step block") << QStringList{"--dir", "d", "--silent-at", "block:12"} << true;
        QTest::newRow("step reply") << QStringList{"--dir", "d", "--hangup-at", "reply:VE"} << true;
        QTest::newRow("bad step") << QStringList{"--dir", "d", "--silent-at", "block:x"} << false;
        QTest::newRow("bad transfer")
            << QStringList{"--dir", "d", "--fault-transfer", "all"} << false;
        QTest::newRow("flag with value") << QStringList{"--dir", "d", "--too-old=1"} << false;
        QTest::newRow("link and link folder")
            << QStringList{"--dir", "d", "--link", "l", "--link-dir", "f"} << false;
    }
    void options()
    {
        QFETCH(QStringList, args);
        QFETCH(bool, valid);
        SimOptions o;
        QString error;
        QCOMPARE(o.parse(args, &error), valid);
        QCOMPARE(error.isEmpty(), valid);
    }

    void optionValues()
    {
        SimOptions o;
        QVERIFY(o.parse({"--dir", "d", "--too-old", "--ki", "A\\tB", "--reply-junk", "\\x00\\x41z",
                         "--time-scale", "0.5", "--users-db", "corrupt", "--cancel-block=0"},
                        nullptr));
        QCOMPARE(o.version, QString("01000100"));
        QCOMPARE(o.ki, QString("A\tB"));
        QCOMPARE(o.replyJunk, QByteArray("\0Az", 3));
        QCOMPARE(o.scaled(1000), 500);
        QCOMPARE(o.scaled(1), 1);
        QCOMPARE(o.usersDb, SimOptions::UsersDb::Corrupt);
        QCOMPARE(o.cancelBlock, 0);
    }

    void runsAsProgram()
    {
        QVERIFY2(QFileInfo::exists(program()), qPrintable(program()));
        QTemporaryDir tmp;
        const QString dir = tmp.filePath("console");
        const QString link = tmp.filePath("ttyConsole");
        QProcess p;
        p.start(program(), {"--dir", dir, "--link", link, "--time-scale", "0.1"});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY(p.canReadLine());
        const QString path = QString::fromLocal8Bit(p.readLine()).trimmed();
        QVERIFY(path.startsWith("/dev/pts/"));
        QCOMPARE(QFileInfo(link).symLinkTarget(), path);

        LinePeer peer;
        QVERIFY(peer.open(link));
        QCOMPARE(peer.command("VE\r\n", 300), QByteArray("01020304\r\n"));

        QFile state(QDir(dir).filePath("state.json"));
        QVERIFY(state.open(QIODevice::ReadOnly));
        const QJsonObject s = QJsonDocument::fromJson(state.readAll()).object();
        QCOMPARE(s.value("state").toString(), QString("application"));
        QCOMPARE(s.value("device").toString(), path);
        QVERIFY(QFileInfo(QDir(dir).filePath("BrenvikDATA")).size() > 0);
        QVERIFY(QFileInfo::exists(QDir(dir).filePath("R-BTM093004_.cyacd")));
        QVERIFY(QFileInfo(QDir(dir).filePath("console.log")).size() > 0);

        peer.close();
        p.terminate();
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitStatus(), QProcess::NormalExit);
        QCOMPARE(p.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void hangUpExitCode()
    {
        QTemporaryDir tmp;
        QProcess p;
        p.start(program(), {"--dir", tmp.filePath("c"), "--hangup-at", "reply:SN"});
        QVERIFY(p.waitForStarted());
        QTRY_VERIFY(p.canReadLine());
        LinePeer peer;
        QVERIFY(peer.open(QString::fromLocal8Bit(p.readLine()).trimmed()));
        peer.write("SN\r\n");
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 3);
    }

    void badArguments()
    {
        QProcess p;
        p.start(program(), {"--frobnicate"});
        QVERIFY(p.waitForFinished(5000));
        QCOMPARE(p.exitCode(), 2);
        QVERIFY(p.readAllStandardError().contains("unknown option"));
    }
};

QTEST_GUILESS_MAIN(TestSimProgram)
#include "tst_simprogram.moc"
