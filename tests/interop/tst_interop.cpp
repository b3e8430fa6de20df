// The command-line tools against lrzsz, a YMODEM implementation written elsewhere, over
// pseudo-terminal pairs made by socat: ymodem-send into "rz --ymodem" and "sz --ymodem" into
// ymodem-receive. Every peer runs under a time limit; the received file is the judge.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>
#include <fcntl.h>
#include <unistd.h>

namespace
{
const int kLinkReadyMs = 5000;  // socat makes both ends
const int kTransferMs = 90000;  // one transfer, several MiB included
const int kPeerAfterMs = 15000; // the peer's own end after ours (rz may wait for a lost block)

QByteArray pattern(int size)
{
    QByteArray data(size, '\0');
    quint32 x = 0x12345678u ^ quint32(size);
    for (int i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        data[i] = char(x >> 24);
    }
    return data;
}

// A pseudo-terminal pair made by socat, reachable through two links in a folder.
class SocatLink
{
public:
    explicit SocatLink(const QString& folder)
        : a(folder + QStringLiteral("/line-a")), b(folder + QStringLiteral("/line-b"))
    {
        socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + a,
                                              QStringLiteral("pty,raw,echo=0,link=") + b});
        QElapsedTimer waited;
        waited.start();
        while (!(QFile::exists(a) && QFile::exists(b)) && waited.elapsed() < kLinkReadyMs)
            QThread::msleep(20);
    }
    ~SocatLink()
    {
        socat.terminate();
        if (!socat.waitForFinished(2000))
            socat.kill();
        socat.waitForFinished(2000);
    }
    bool isReady() const { return QFile::exists(a) && QFile::exists(b); }

    const QString a;
    const QString b;

private:
    QProcess socat;
};

bool finish(QProcess& p, int ms)
{
    if (p.state() != QProcess::NotRunning && !p.waitForFinished(ms)) {
        p.kill();
        p.waitForFinished(2000);
        return false;
    }
    return p.exitStatus() == QProcess::NormalExit;
}
} // namespace

class TestInterop : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void sendIntoRz_data() { sizes(); }
    void sendIntoRz();
    void szIntoReceive_data() { sizes(); }
    void szIntoReceive();
    void sendIntoSimConsole_data();
    void sendIntoSimConsole();
    void receiveFromSimConsole();

private:
    QString startSim(QProcess& sim, const QString& store);
    static bool type(const QString& device, const QList<QByteArray>& lines);
    void sizes();
    QString tool(const QString& name) const;
    QString buildDir;
};

void TestInterop::initTestCase()
{
    for (const char* program : {"socat", "rz", "sz"})
        if (QStandardPaths::findExecutable(QString::fromLatin1(program)).isEmpty())
            QSKIP(qPrintable(QStringLiteral("%1 is not installed").arg(program)));
    buildDir = qEnvironmentVariable("UPDATER_BUILD_DIR");
    QVERIFY2(QFile::exists(tool(QStringLiteral("ymodem-send"))), "ymodem-send not built");
    QVERIFY2(QFile::exists(tool(QStringLiteral("ymodem-receive"))), "ymodem-receive not built");
}

QString TestInterop::tool(const QString& name) const
{
    return buildDir + QStringLiteral("/tools/") + name;
}

void TestInterop::sizes()
{
    QTest::addColumn<int>("size");
    for (int size : {0, 1, 127, 128, 129, 300, 1023, 1024, 1025, 1500, 64 * 1024 + 1})
        QTest::newRow(qPrintable(QString::number(size))) << size;
    QTest::newRow("3 MiB") << 3 * 1024 * 1024 + 333;
}

void TestInterop::sendIntoRz()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("out")));
    const QString name = QStringLiteral("s%1.bin").arg(size);
    const QByteArray data = pattern(size);
    {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    SocatLink link(dir.path());
    QVERIFY(link.isReady());

    QProcess rz;
    rz.setWorkingDirectory(dir.filePath(QStringLiteral("out")));
    rz.setStandardInputFile(link.b);
    rz.setStandardOutputFile(link.b, QIODevice::Append);
    rz.setStandardErrorFile(dir.filePath(QStringLiteral("rz.log")));
    rz.start(QStringLiteral("rz"), {QStringLiteral("--ymodem"), QStringLiteral("-y")});
    QVERIFY(rz.waitForStarted());

    QProcess send;
    send.setProcessChannelMode(QProcess::MergedChannels);
    send.start(tool(QStringLiteral("ymodem-send")), {link.a, dir.filePath(name)});
    QVERIFY(send.waitForStarted());
    const bool sendEnded = finish(send, kTransferMs);
    const QByteArray said = send.readAll();
    finish(rz, kPeerAfterMs);

    QVERIFY2(sendEnded, said.constData());
    QVERIFY2(send.exitCode() == 0, said.constData());
    QFile got(dir.filePath(QStringLiteral("out/") + name));
    QVERIFY2(got.open(QIODevice::ReadOnly), "rz stored nothing");
    QVERIFY(got.readAll() == data);
}

void TestInterop::szIntoReceive()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("in")));
    const QString name = QStringLiteral("r%1.bin").arg(size);
    const QByteArray data = pattern(size);
    {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    SocatLink link(dir.path());
    QVERIFY(link.isReady());

    QProcess receive;
    receive.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // Our receiver asks first after one failed wait (8 s); a tenth of that keeps this quick.
    env.insert(QStringLiteral("UPDATER_TIME_SCALE"), QStringLiteral("0.1"));
    receive.setProcessEnvironment(env);
    receive.start(tool(QStringLiteral("ymodem-receive-scaled")), {link.a, dir.filePath("in")});
    QVERIFY(receive.waitForStarted());

    QProcess sz;
    sz.setWorkingDirectory(dir.path());
    sz.setStandardInputFile(link.b);
    sz.setStandardOutputFile(link.b, QIODevice::Append);
    sz.setStandardErrorFile(dir.filePath(QStringLiteral("sz.log")));
    // Large files in 1 KiB blocks, small ones in sz's default 128-byte blocks.
    QStringList args{QStringLiteral("--ymodem")};
    if (size > 64 * 1024)
        args << QStringLiteral("-k");
    sz.start(QStringLiteral("sz"), args << name);
    QVERIFY(sz.waitForStarted());

    const bool received = finish(receive, kTransferMs);
    const QByteArray said = receive.readAll();
    finish(sz, kPeerAfterMs);

    QVERIFY2(received, said.constData());
    QVERIFY2(receive.exitCode() == 0, said.constData());
    QFile got(dir.filePath(QStringLiteral("in/") + name));
    QVERIFY2(got.open(QIODevice::ReadOnly), said.constData());
    QVERIFY(got.readAll() == data);
}

// Starts the simulated console with its file store in store; returns its device path.
QString TestInterop::startSim(QProcess& sim, const QString& store)
{
    const QString program = buildDir + QStringLiteral("/sim/sim-console");
    if (!QFile::exists(program))
        return QString();
    sim.start(program, {QStringLiteral("--dir"), store, QStringLiteral("--time-scale"),
                        QStringLiteral("0.2")});
    if (!sim.waitForStarted() || !sim.waitForReadyRead(10000))
        return QString();
    return QString::fromLocal8Bit(sim.readLine().trimmed());
}

// Types shell lines into the console the way a technician's terminal would, then lets go of
// the line (what the console answered is read and dropped).
bool TestInterop::type(const QString& device, const QList<QByteArray>& lines)
{
    const int fd = ::open(device.toLocal8Bit().constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    char buf[4096];
    for (const QByteArray& line : lines) {
        if (::write(fd, line.constData(), size_t(line.size())) != line.size()) {
            ::close(fd);
            return false;
        }
        QThread::msleep(300);
        while (::read(fd, buf, sizeof buf) > 0) {
        }
    }
    ::close(fd);
    return true;
}

void TestInterop::sendIntoSimConsole_data()
{
    QTest::addColumn<int>("size");
    QTest::newRow("1500") << 1500;
    QTest::newRow("64 KiB + 1") << 64 * 1024 + 1;
}

void TestInterop::sendIntoSimConsole()
{
    QFETCH(int, size);
    QTemporaryDir dir;
    QProcess sim;
    const QString device = startSim(sim, dir.filePath(QStringLiteral("store")));
    if (device.isEmpty())
        QSKIP("sim-console is not available");
    const QString name = QStringLiteral("c%1.bin").arg(size);
    const QByteArray data = pattern(size);
    {
        QFile f(dir.filePath(name));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(data);
    }
    QVERIFY(type(device, {"SHELL\r\n", "receive file\r\n"}));

    QProcess send;
    send.setProcessChannelMode(QProcess::MergedChannels);
    send.start(tool(QStringLiteral("ymodem-send")), {device, dir.filePath(name)});
    const bool ended = finish(send, kTransferMs);
    const QByteArray said = send.readAll();
    sim.terminate();
    finish(sim, 5000);
    QVERIFY2(ended && send.exitCode() == 0, said.constData());
    QFile got(dir.filePath(QStringLiteral("store/") + name));
    QVERIFY2(got.open(QIODevice::ReadOnly), "the console stored nothing");
    QVERIFY(got.readAll() == data);
}

void TestInterop::receiveFromSimConsole()
{
    QTemporaryDir dir;
    QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("in")));
    QProcess sim;
    const QString device = startSim(sim, dir.filePath(QStringLiteral("store")));
    if (device.isEmpty())
        QSKIP("sim-console is not available");
    QVERIFY(type(device, {"SHELL\r\n", "send file /BrenvikDATA", "\r\n"}));

    QProcess receive;
    receive.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("UPDATER_TIME_SCALE"), QStringLiteral("0.1"));
    receive.setProcessEnvironment(env);
    receive.start(tool(QStringLiteral("ymodem-receive-scaled")), {device, dir.filePath("in")});
    const bool ended = finish(receive, kTransferMs);
    const QByteArray said = receive.readAll();
    sim.terminate();
    finish(sim, 5000);
    QVERIFY2(ended && receive.exitCode() == 0, said.constData());
    QFile original(dir.filePath(QStringLiteral("store/BrenvikDATA")));
    QFile got(dir.filePath(QStringLiteral("in/BrenvikDATA")));
    QVERIFY(original.open(QIODevice::ReadOnly));
    QVERIFY2(got.open(QIODevice::ReadOnly), said.constData());
    const QByteArray sent = original.readAll();
    QVERIFY(!sent.isEmpty());
    QVERIFY(got.readAll() == sent);
}

QTEST_GUILESS_MAIN(TestInterop)
#include "tst_interop.moc"
