// The port's line-settings model: defaults, the combinations it refuses, the warnings it logs
// and what reaches the line at open.
#include "ptypair.h"
#include "qextserialport.h"
#include "serialsys.h"

#include <QMutex>
#include <QtTest>

#include <termios.h>

namespace
{

QMutex logLock;
QStringList logged;
QtMessageHandler previousHandler = nullptr;

void captureMessages(QtMsgType type, const QMessageLogContext& context, const QString& text)
{
    if (type == QtWarningMsg || type == QtCriticalMsg) {
        QMutexLocker lock(&logLock);
        logged << text;
        return;
    }
    if (previousHandler)
        previousHandler(type, context, text);
}

QStringList takeLog()
{
    QMutexLocker lock(&logLock);
    QStringList out = logged;
    logged.clear();
    return out;
}

const char* const openModeName = "ReadWrite|Unbuffered";
const QIODevice::OpenMode workerMode = QIODevice::ReadWrite | QIODevice::Unbuffered;

} // namespace

class TestSerialSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void defaults();
    void metaObjects();
    void baudRateStored_data();
    void baudRateStored();
    void baudRateOnOpenPort_data();
    void baudRateOnOpenPort();
    void dataAndStopBits_data();
    void dataAndStopBits();
    void warningsOnOpenPort_data();
    void warningsOnOpenPort();
    void workerSettingsReachTheLine();
    void rateReachesTheLine_data();
    void rateReachesTheLine();
    void timeoutRecord_data();
    void timeoutRecord();
    void translateError_data();
    void translateError();
    void readLineAndUngetChar();
};

void TestSerialSettings::initTestCase()
{
    previousHandler = qInstallMessageHandler(captureMessages);
    QCOMPARE(int(workerMode), 35);
    Q_UNUSED(openModeName);
}

void TestSerialSettings::cleanupTestCase()
{
    qInstallMessageHandler(previousHandler);
}

void TestSerialSettings::init()
{
    takeLog();
}

void TestSerialSettings::defaults()
{
    QextSerialPort port(QStringLiteral("/dev/null-not-a-port"), EventIo);
    QCOMPARE(port.portName(), QStringLiteral("/dev/null-not-a-port"));
    QCOMPARE(port.baudRate(), Baud9600);
    QCOMPARE(port.dataBits(), Data8);
    QCOMPARE(port.parity(), ParityNone);
    QCOMPARE(port.stopBits(), Stop1);
    QCOMPARE(port.flowControl(), FlowOff);
    QCOMPARE(port.timeout(), 500L);
    QCOMPARE(port.lastError(), ulong(ErrNone));
    QCOMPARE(port.ioMode(), EventIo);
    QVERIFY(!port.isOpen());
    QCOMPARE(port.openMode(), QIODevice::NotOpen);
    QVERIFY(port.isSequential());
    // Closed: nothing to count, no line status, no error, and no warnings from any of it.
    QCOMPARE(port.bytesAvailable(), qint64(0));
    QCOMPARE(static_cast<const QIODevice&>(port).bytesAvailable(), qint64(0));
    QCOMPARE(port.lineStatus(), ulong(0));
    QVERIFY(!port.waitForReadyRead(100));
    QCOMPARE(takeLog(), QStringList());

    // The enumerations keep their numeric values.
    QCOMPARE(int(Baud50), 0);
    QCOMPARE(int(Baud256000), 21);
    QCOMPARE(int(Data5), 0);
    QCOMPARE(int(ParitySpace), 4);
    QCOMPARE(int(Stop2), 2);
    QCOMPARE(int(FlowXonXoff), 2);
    QCOMPARE(int(EventIo), 1);
    QCOMPARE(int(LineRi), 8);
    QCOMPARE(int(ErrWriteFailed), 14);
}

void TestSerialSettings::metaObjects()
{
    QextSerialPort port(QStringLiteral("x"), PolledIo);
    QCOMPARE(port.metaObject()->className(), "QextSerialPort");
    QCOMPARE(port.metaObject()->superClass()->className(), "Win_QextSerialPort");
    QCOMPARE(port.metaObject()->superClass()->superClass()->className(), "QextSerialBase");
    QVERIFY(qobject_cast<QextSerialBase*>(&port));
    QVERIFY(qobject_cast<Win_QextSerialPort*>(&port));
    QVERIFY(QextSerialBase::staticMetaObject.indexOfSignal("dsrChanged(bool)") >= 0);
    QCOMPARE(Win_QextSerialPort::staticMetaObject.methodCount(),
             QextSerialBase::staticMetaObject.methodCount());
}

void TestSerialSettings::baudRateStored_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("stored");
    const int expected[22] = {2,  2,  2,  2,  2,  2,  6,  7,  8,  8,  10,
                              11, 12, 13, 14, 15, 16, 17, 17, 19, 20, 21};
    for (int v = 0; v < 22; ++v)
        QTest::addRow("code %d", v) << v << expected[v];
    QTest::newRow("131072 kept as it is") << 131072 << 131072;
}

void TestSerialSettings::baudRateStored()
{
    QFETCH(int, value);
    QFETCH(int, stored);
    QextSerialPort port(QStringLiteral("x"), EventIo);
    port.setBaudRate(BaudRateType(value));
    QCOMPARE(int(port.baudRate()), stored);
    QCOMPARE(int(port.portBaudRate()), stored);
    // A closed port logs nothing.
    QCOMPARE(takeLog(), QStringList());
}

void TestSerialSettings::baudRateOnOpenPort_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("rate");
    QTest::addColumn<QString>("warning");
    const QString sw = QStringLiteral(
        "Win_QextSerialPort: Windows does not support %1 baud operation.  Switching to %2 baud.");
    const QString pw =
        QStringLiteral("Win_QextSerialPort Portability Warning: POSIX does not support %1 baud "
                       "operation.");
    QTest::newRow("50") << 0 << 110 << sw.arg(50).arg(110);
    QTest::newRow("75") << 1 << 110 << sw.arg(75).arg(110);
    QTest::newRow("110") << 2 << 110 << QString();
    QTest::newRow("134.5") << 3 << 110 << sw.arg(QStringLiteral("134.5")).arg(110);
    QTest::newRow("150") << 4 << 110 << sw.arg(150).arg(110);
    QTest::newRow("200") << 5 << 110 << sw.arg(200).arg(110);
    QTest::newRow("300") << 6 << 300 << QString();
    QTest::newRow("1800") << 9 << 1200 << sw.arg(1800).arg(1200);
    QTest::newRow("9600") << 12 << 9600 << QString();
    QTest::newRow("14400") << 13 << 14400 << pw.arg(14400);
    QTest::newRow("56000") << 16 << 56000 << pw.arg(56000);
    QTest::newRow("76800") << 18 << 57600 << sw.arg(76800).arg(57600);
    QTest::newRow("115200") << 19 << 115200 << QString();
    QTest::newRow("128000") << 20 << 128000 << pw.arg(128000);
    QTest::newRow("256000") << 21 << 256000 << pw.arg(256000);
    QTest::newRow("131072 keeps the line rate") << 131072 << -1 << QString();
}

void TestSerialSettings::baudRateOnOpenPort()
{
    QFETCH(int, value);
    QFETCH(int, rate);
    QFETCH(QString, warning);
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    QVERIFY(port.open(workerMode));
    const quint32 before = port.lineConfig().baudRate;
    takeLog();

    port.setBaudRate(BaudRateType(value));
    const QStringList log = takeLog();
    if (warning.isEmpty())
        QCOMPARE(log, QStringList());
    else
        QCOMPARE(log, QStringList() << warning);
    QCOMPARE(port.lineConfig().baudRate, rate < 0 ? before : quint32(rate));
    port.close();
}

void TestSerialSettings::dataAndStopBits_data()
{
    QTest::addColumn<int>("dataBefore");
    QTest::addColumn<int>("stopBefore");
    QTest::addColumn<bool>("setData"); // true: setDataBits(value), false: setStopBits(value)
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("dataAfter");
    QTest::addColumn<int>("stopAfter");

    QTest::newRow("5 data bits refused with 2 stop bits") << 3 << 2 << true << 0 << 3 << 2;
    QTest::newRow("7 data bits with 2 stop bits") << 3 << 2 << true << 2 << 2 << 2;
    QTest::newRow("2 stop bits refused with 5 data bits") << 0 << 0 << false << 2 << 0 << 0;
    QTest::newRow("1.5 stop bits with 5 data bits") << 0 << 0 << false << 1 << 0 << 1;
    QTest::newRow("1.5 stop bits refused with 8 data bits") << 3 << 0 << false << 1 << 3 << 0;
    QTest::newRow("8 data bits refused with 1.5 stop bits") << 0 << 1 << true << 3 << 0 << 1;
    QTest::newRow("5 data bits with 1.5 stop bits") << 0 << 1 << true << 0 << 0 << 1;
    QTest::newRow("2 stop bits with 6 data bits") << 1 << 0 << false << 2 << 1 << 2;
}

void TestSerialSettings::dataAndStopBits()
{
    QFETCH(int, dataBefore);
    QFETCH(int, stopBefore);
    QFETCH(bool, setData);
    QFETCH(int, value);
    QFETCH(int, dataAfter);
    QFETCH(int, stopAfter);

    QextSerialPort port(QStringLiteral("x"), EventIo);
    // Reach the starting point through allowed steps.
    port.setStopBits(Stop1);
    port.setDataBits(DataBitsType(dataBefore));
    port.setStopBits(StopBitsType(stopBefore));
    QCOMPARE(int(port.dataBits()), dataBefore);
    QCOMPARE(int(port.stopBits()), stopBefore);

    if (setData)
        port.setDataBits(DataBitsType(value));
    else
        port.setStopBits(StopBitsType(value));
    QCOMPARE(int(port.dataBits()), dataAfter);
    QCOMPARE(int(port.stopBits()), stopAfter);
    QCOMPARE(takeLog(), QStringList());
}

void TestSerialSettings::warningsOnOpenPort_data()
{
    QTest::addColumn<int>("data");
    QTest::addColumn<int>("stop");
    QTest::addColumn<QString>("call"); // which setter, applied on the open port
    QTest::addColumn<int>("value");
    QTest::addColumn<QStringList>("warnings");
    QTest::addColumn<int>("byteSize");
    QTest::addColumn<int>("stopCode");
    QTest::addColumn<int>("parityCode");
    QTest::addColumn<bool>("parityCheck");

    const QString P = QStringLiteral("Win_QextSerialPort Portability Warning:");
    QTest::newRow("5 data bits with 2 stop bits")
        << 3 << 2 << "data" << 0
        << QStringList{"Win_QextSerialPort: 5 Data bits cannot be used with 2 stop bits."} << 8 << 2
        << 0 << false;
    QTest::newRow("6 data bits with 1.5 stop bits")
        << 0 << 1 << "data" << 1
        << QStringList{"Win_QextSerialPort: 6 Data bits cannot be used with 1.5 stop bits."} << 5
        << 1 << 0 << false;
    QTest::newRow("7 data bits with 1.5 stop bits")
        << 0 << 1 << "data" << 2
        << QStringList{"Win_QextSerialPort: 7 Data bits cannot be used with 1.5 stop bits."} << 5
        << 1 << 0 << false;
    QTest::newRow("8 data bits with 1.5 stop bits")
        << 0 << 1 << "data" << 3
        << QStringList{"Win_QextSerialPort: 8 Data bits cannot be used with 1.5 stop bits."} << 5
        << 1 << 0 << false;
    QTest::newRow("7 data bits") << 3 << 0 << "data" << 2 << QStringList() << 7 << 0 << 0 << false;
    QTest::newRow("1.5 stop bits with 8 data bits")
        << 3 << 0 << "stop" << 1
        << QStringList{P + " 1.5 stop bit operation is not supported by POSIX.",
                       "Win_QextSerialPort: 1.5 stop bits can only be used with 5 data bits"}
        << 8 << 0 << 0 << false;
    QTest::newRow("1.5 stop bits with 5 data bits")
        << 0 << 0 << "stop" << 1
        << QStringList{P + " 1.5 stop bit operation is not supported by POSIX."} << 5 << 1 << 0
        << false;
    QTest::newRow("2 stop bits with 5 data bits")
        << 0 << 0 << "stop" << 2
        << QStringList{"Win_QextSerialPort: 2 stop bits cannot be used with 5 data bits"} << 5 << 0
        << 0 << false;
    QTest::newRow("2 stop bits") << 3 << 0 << "stop" << 2 << QStringList() << 8 << 2 << 0 << false;
    QTest::newRow("odd parity") << 3 << 0 << "parity" << 1 << QStringList() << 8 << 0 << 1 << true;
    QTest::newRow("mark parity") << 3 << 0 << "parity" << 3
                                 << QStringList{P +
                                                "  Mark parity is not supported by POSIX systems"}
                                 << 8 << 0 << 3 << true;
    QTest::newRow("space parity with 8 data bits")
        << 3 << 0 << "parity" << 4
        << QStringList{P + " Space parity with 8 data bits is not supported by POSIX systems."} << 8
        << 0 << 4 << true;
    QTest::newRow("space parity with 7 data bits")
        << 2 << 0 << "parity" << 4 << QStringList() << 7 << 0 << 4 << true;
    QTest::newRow("parity code above 4 keeps the check flag")
        << 3 << 0 << "parity" << 7 << QStringList() << 8 << 0 << 7 << false;
}

void TestSerialSettings::warningsOnOpenPort()
{
    QFETCH(int, data);
    QFETCH(int, stop);
    QFETCH(QString, call);
    QFETCH(int, value);
    QFETCH(QStringList, warnings);
    QFETCH(int, byteSize);
    QFETCH(int, stopCode);
    QFETCH(int, parityCode);
    QFETCH(bool, parityCheck);

    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    port.setStopBits(Stop1);
    port.setDataBits(DataBitsType(data));
    port.setStopBits(StopBitsType(stop));
    QVERIFY(port.open(workerMode));
    takeLog(); // open re-applies the stored settings and may warn about them itself

    if (call == QLatin1String("data"))
        port.setDataBits(DataBitsType(value));
    else if (call == QLatin1String("stop"))
        port.setStopBits(StopBitsType(value));
    else
        port.setParity(ParityType(value));
    QCOMPARE(takeLog(), warnings);
    const SerialPlatform::LineConfig c = port.lineConfig();
    QCOMPARE(c.byteSize, byteSize);
    QCOMPARE(c.stopBits, stopCode);
    QCOMPARE(c.parity, parityCode);
    QCOMPARE(c.fParity, parityCheck);
}

// The settings the worker makes, in its order, reach the line at open; 131072 keeps the rate the
// line already has, and closing gives the line its old settings back.
void TestSerialSettings::rateReachesTheLine_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<uint>("rate");
    QTest::newRow("14400") << 13 << 14400u;
    QTest::newRow("56000") << 16 << 56000u;
    QTest::newRow("128000") << 20 << 128000u;
    QTest::newRow("256000") << 21 << 256000u;
    QTest::newRow("1800 falls back to 1200") << 9 << 1200u;
}

// Rates without a speed code reach the terminal too (termios2), read back from the kernel.
void TestSerialSettings::rateReachesTheLine()
{
    QFETCH(int, value);
    QFETCH(uint, rate);
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    port.setBaudRate(BaudRateType(value));
    QVERIFY(port.open(workerMode));
    takeLog();
    QCOMPARE(SerialSys::lineRate(pty.slaveFd()), rate);
    port.close();
}

void TestSerialSettings::workerSettingsReachTheLine()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    termios before{};
    QCOMPARE(tcgetattr(pty.slaveFd(), &before), 0);
    // (A pseudo-terminal always keeps 8 bits and no parity; line mode and rate are its own.)
    before.c_lflag |= ICANON | ECHO;
    before.c_iflag |= ICRNL;
    cfsetispeed(&before, B19200);
    cfsetospeed(&before, B19200);
    QCOMPARE(tcsetattr(pty.slaveFd(), TCSANOW, &before), 0);

    for (int round = 0; round < 2; ++round) {
        QextSerialPort port(pty.slavePath(), EventIo);
        port.setBaudRate(BaudRateType(round == 0 ? 131072 : Baud9600));
        port.setFlowControl(FlowOff);
        port.setParity(ParityNone);
        port.setDataBits(Data8);
        port.setStopBits(Stop1);
        port.setTimeout(100);
        port.open(workerMode);
        QVERIFY(port.isOpen());
        QCOMPARE(int(port.openMode()), 35);
        QCOMPARE(takeLog(), QStringList());

        termios now{};
        QCOMPARE(tcgetattr(pty.slaveFd(), &now), 0);
        QCOMPARE(cfgetospeed(&now), round == 0 ? speed_t(B19200) : speed_t(B9600));
        QCOMPARE(now.c_cflag & CSIZE, tcflag_t(CS8));
        QCOMPARE(now.c_cflag & (PARENB | CSTOPB | CRTSCTS), tcflag_t(0));
        QCOMPARE(now.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
        QCOMPARE(now.c_iflag & (ICRNL | IXON | IXOFF | ISTRIP), tcflag_t(0));
        QCOMPARE(now.c_oflag & OPOST, tcflag_t(0));
        // Event mode: reads return at once.
        const SerialPlatform::Timeouts t = port.timeouts();
        QCOMPARE(t.readInterval, SerialPlatform::MaxTimeout);
        QCOMPARE(t.readTotalConstant, 0u);
        QCOMPARE(t.writeTotalMultiplier, 0u);

        port.close();
        termios after{};
        QCOMPARE(tcgetattr(pty.slaveFd(), &after), 0);
        // Saved settings come back, except echo and line editing: the console may still be
        // attached and would have its own bytes sent back.
        QCOMPARE(after.c_lflag & (ICANON | ECHO), tcflag_t(0));
        QVERIFY(after.c_iflag & ICRNL);
        QCOMPARE(cfgetospeed(&after), speed_t(B19200));
    }
}

void TestSerialSettings::timeoutRecord_data()
{
    QTest::addColumn<long>("ms");
    QTest::addColumn<quint32>("interval");
    QTest::addColumn<quint32>("totalConstant");
    QTest::addColumn<quint32>("writeMultiplier");
    QTest::newRow("100") << 100L << 100u << 100u << 100u;
    QTest::newRow("0") << 0L << 0u << 0u << 0u;
    QTest::newRow("-1") << -1L << 0xFFFFFFFFu << 0u << 0xFFFFFFFFu;
}

void TestSerialSettings::timeoutRecord()
{
    QFETCH(long, ms);
    QFETCH(quint32, interval);
    QFETCH(quint32, totalConstant);
    QFETCH(quint32, writeMultiplier);
    QextSerialPort port(QStringLiteral("x"), PolledIo);
    port.setTimeout(ms);
    QCOMPARE(port.timeout(), ms);
    const SerialPlatform::Timeouts t = port.timeouts();
    QCOMPARE(t.readInterval, interval);
    QCOMPARE(t.readTotalMultiplier, 0u);
    QCOMPARE(t.readTotalConstant, totalConstant);
    QCOMPARE(t.writeTotalMultiplier, writeMultiplier);
    QCOMPARE(t.writeTotalConstant, 0u);
}

void TestSerialSettings::translateError_data()
{
    QTest::addColumn<ulong>("flags");
    QTest::addColumn<ulong>("code");
    using P = SerialPlatform;
    QTest::newRow("break first") << ulong(P::FlagBreak | P::FlagFrame | P::FlagIo)
                                 << ulong(ErrBreak);
    QTest::newRow("framing before I/O") << ulong(P::FlagFrame | P::FlagIo) << ulong(ErrFraming);
    QTest::newRow("I/O before mode") << ulong(P::FlagIo | P::FlagMode) << ulong(ErrIo);
    QTest::newRow("mode before overrun") << ulong(P::FlagMode | P::FlagOverrun) << ulong(ErrMode);
    QTest::newRow("overrun before parity")
        << ulong(P::FlagOverrun | P::FlagParity) << ulong(ErrOverrun);
    QTest::newRow("parity before overflow")
        << ulong(P::FlagParity | P::FlagRxOver) << ulong(ErrParity);
    QTest::newRow("input overflow") << ulong(P::FlagRxOver | P::FlagTxFull) << ulong(ErrRxOverflow);
    QTest::newRow("output full") << ulong(P::FlagTxFull) << ulong(ErrTxFull);
    QTest::newRow("no flag keeps the last error") << ulong(0) << ulong(ErrFraming);
}

void TestSerialSettings::translateError()
{
    QFETCH(ulong, flags);
    QFETCH(ulong, code);
    QextSerialPort port(QStringLiteral("x"), EventIo);
    port.translateError(SerialPlatform::FlagFrame);
    port.translateError(flags);
    QCOMPARE(port.lastError(), code);
}

void TestSerialSettings::readLineAndUngetChar()
{
    PtyPair pty;
    QVERIFY2(pty.isValid(), qPrintable(pty.errorString()));
    QextSerialPort port(pty.slavePath(), EventIo);
    QVERIFY(port.open(workerMode));
    // A whole line that has arrived comes back whole, newline kept.
    QVERIFY(pty.writeMaster("abcdef\n"));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(7), 10000);
    char line[16];
    QCOMPARE(port.readLine(line, sizeof line), qint64(7));
    QCOMPARE(QByteArray(line), QByteArray("abcdef\n"));

    QVERIFY(pty.writeMaster("ab\ncd"));
    QTRY_COMPARE_WITH_TIMEOUT(port.bytesAvailable(), qint64(5), 10000);

    char buf[16];
    QCOMPARE(port.readLine(buf, 1), qint64(-1));
    QCOMPARE(port.bytesAvailable(), qint64(5));

    port.ungetChar('x');
    QCOMPARE(takeLog(), QStringList{"Win_QextSerialPort: ungetChar() called on an unbuffered "
                                    "sequential device - operation is meaningless"});

    QCOMPARE(port.readLine(buf, sizeof buf), qint64(3));
    QCOMPARE(QByteArray(buf), QByteArray("ab\n"));
    // Limited by the buffer: size - 1 bytes and the terminating zero.
    QCOMPARE(port.readLine(buf, 2), qint64(1));
    QCOMPARE(QByteArray(buf), QByteArray("c"));
    QCOMPARE(port.readLine(buf, sizeof buf), qint64(1));
    QCOMPARE(QByteArray(buf), QByteArray("d"));
    QCOMPARE(port.readLine(buf, sizeof buf), qint64(0));
    QCOMPARE(QByteArray(buf), QByteArray());
}

QTEST_GUILESS_MAIN(TestSerialSettings)
#include "tst_serialsettings.moc"
