#include "simfixture.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QtTest>

quint16 SimFixture::crcOf(const QByteArray& data)
{
    quint16 crc = 0;
    for (char byte : data) {
        crc ^= quint16(quint8(byte)) << 8;
        for (int i = 0; i < 8; ++i)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray SimFixture::makeBlock(int number, QByteArray data)
{
    data.append(QByteArray(128 - data.size(), number == 0 ? '\0' : 0x1A));
    QByteArray b;
    b.append(SOH).append(char(number)).append(char(0xFF - number)).append(data);
    const quint16 crc = crcOf(data);
    b.append(char(crc >> 8)).append(char(crc & 0xFF));
    return b;
}

QByteArray SimFixture::randomBytes(int size)
{
    QByteArray b(size, '\0');
    for (int i = 0; i < size; ++i)
        b[i] = char(QRandomGenerator::global()->bounded(256));
    return b;
}

bool SimFixture::haveLrzsz()
{
    return !QStandardPaths::findExecutable("sz").isEmpty() &&
           !QStandardPaths::findExecutable("rz").isEmpty();
}

void SimFixture::setUp()
{
    tmp = std::make_unique<QTemporaryDir>();
    QVERIFY(tmp->isValid());
    dir = tmp->filePath("console");
    work = tmp->filePath("peer");
    QVERIFY(QDir().mkpath(work));
}

void SimFixture::tearDown()
{
    if (QTest::currentTestFailed() && tmp) {
        // The console's own account is what tells a timing fault from a logic one.
        QFile log(QDir(dir).filePath("console.log"));
        if (log.open(QIODevice::ReadOnly))
            qWarning("console.log:\n%s", log.readAll().right(8000).constData());
    }
    peer.close();
    if (console)
        console->stop();
    console.reset();
    tmp.reset();
}

SimOptions SimFixture::baseOptions() const
{
    SimOptions o;
    o.dir = dir;
    o.timeScale = 0.1;
    return o;
}

void SimFixture::startConsole(const SimOptions& o)
{
    dropsLine = o.resetDropsLine;
    replugsSeen = 0;
    console = std::make_unique<SimConsole>(o);
    QString error;
    QVERIFY2(console->start(&error), qPrintable(error));
    QVERIFY(peer.open(console->slavePath()));
}

QString SimFixture::stateText() const
{
    return console->status().value("state").toString();
}

QJsonObject SimFixture::lastTransfer() const
{
    return console->status().value("lastTransfer").toObject();
}

void SimFixture::followRestart()
{
    peer.close();
    if (dropsLine) {
        ++replugsSeen;
        QTRY_COMPARE_WITH_TIMEOUT(console->status().value("replugs").toInt(), replugsSeen, 10000);
    }
    QVERIFY(peer.open(console->portPath()));
}

void SimFixture::enterShell()
{
    QVERIFY(!peer.command("SHELL\r\n", 200).isEmpty());
}

int SimFixture::runPeer(const QString& program, const QStringList& args, int timeoutMs)
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

QByteArray SimFixture::readWork(const QString& name) const
{
    QFile f(QDir(work).filePath(name));
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void SimFixture::writeConsoleFile(const QString& name, const QByteArray& data) const
{
    QVERIFY(QDir().mkpath(dir));
    QFile f(QDir(dir).filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}

void SimFixture::writeWorkFile(const QString& name, const QByteArray& data) const
{
    QFile f(QDir(work).filePath(name));
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(data);
}
