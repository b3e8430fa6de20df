#include "workerline.h"

#include "ymodem.h"

#include <QElapsedTimer>
#include <QMutexLocker>
#include <QThread>

WorkerLine::WorkerLine()
{
    if (!pty.isValid())
        return;
    thread = new QThread;
    ymodem = new YMODEM;
    ymodem->moveToThread(thread);
    QObject::connect(
        ymodem, &YMODEM::progress, ymodem,
        [this](int p) {
            QMutexLocker lock(&mutex);
            progressValues << p;
        },
        Qt::DirectConnection);
    QObject::connect(
        ymodem, &YMODEM::setFirmwareUploadStatus, ymodem,
        [this](const QString& s) {
            QMutexLocker lock(&mutex);
            if (statusTexts.isEmpty() || statusTexts.last() != s)
                statusTexts << s;
        },
        Qt::DirectConnection);
    QObject::connect(
        ymodem, &YMODEM::putUserSettingPath, ymodem,
        [this](const QString& s) {
            QMutexLocker lock(&mutex);
            pathTexts << s;
        },
        Qt::DirectConnection);
    std::atomic<int> state{1};
    QObject::connect(
        ymodem, &YMODEM::serialConnected, ymodem, [&state](int s) { state = s; },
        Qt::DirectConnection);
    thread->start();
    QMetaObject::invokeMethod(ymodem, "ySerialConnect", Qt::QueuedConnection,
                              Q_ARG(QString, pty.slavePath()));
    QElapsedTimer waited;
    waited.start();
    while (state == 1 && waited.elapsed() < 10000)
        QThread::msleep(5);
    QObject::disconnect(ymodem, &YMODEM::serialConnected, ymodem, nullptr);
    ready = state == 0;
    {
        QMutexLocker lock(&mutex);
        statusTexts.clear(); // the status timer's empty line
    }
}

WorkerLine::~WorkerLine()
{
    if (!ymodem)
        return;
    waitFinished(60000);
    ymodem->stopThread(5000);
    delete ymodem;
    delete thread;
}

void WorkerLine::start(const std::function<int(YMODEM&)>& job)
{
    done = false;
    YMODEM* w = ymodem;
    QMetaObject::invokeMethod(
        w,
        [this, w, job] {
            outcome = job(*w);
            done = true;
        },
        Qt::QueuedConnection);
}

bool WorkerLine::waitFinished(int timeoutMs)
{
    QElapsedTimer waited;
    waited.start();
    while (!done && waited.elapsed() < timeoutMs)
        QThread::msleep(2);
    return done;
}

QList<int> WorkerLine::progress() const
{
    QMutexLocker lock(&mutex);
    return progressValues;
}

QStringList WorkerLine::statuses() const
{
    QMutexLocker lock(&mutex);
    return statusTexts.filter(QRegExp(QStringLiteral(".+")));
}

QStringList WorkerLine::paths() const
{
    QMutexLocker lock(&mutex);
    return pathTexts;
}

void WorkerLine::hangUp()
{
    pty.closeMaster();
}

bool WorkerLine::write(const QByteArray& bytes)
{
    return pty.writeMaster(bytes);
}

int WorkerLine::readByte(int timeoutMs)
{
    const QByteArray b = pty.readMaster(1, timeoutMs);
    return b.isEmpty() ? Timeout : int(quint8(b.at(0)));
}

QByteArray WorkerLine::read(int count, int timeoutMs)
{
    return pty.readMaster(count, timeoutMs);
}

QByteArray WorkerLine::readUntilQuiet(int quietMs, int maxMs)
{
    QByteArray out;
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < maxMs) {
        if (!pty.waitMasterReadable(quietMs))
            break;
        out += pty.readMasterNow();
    }
    return out;
}

WorkerLine::Block WorkerLine::readBlock(int timeoutMs)
{
    Block b;
    b.kind = readByte(timeoutMs);
    if (b.kind != SOH && b.kind != STX)
        return b;
    const int size = b.kind == SOH ? 128 : 1024;
    const QByteArray rest = read(size + 4, 5000);
    if (rest.size() < size + 4)
        return b;
    b.number = quint8(rest.at(0));
    b.complement = quint8(rest.at(1));
    b.data = rest.mid(2, size);
    const quint16 sent = quint16((quint8(rest.at(size + 2)) << 8) | quint8(rest.at(size + 3)));
    b.crcOk = sent == crc(b.data);
    return b;
}

quint16 WorkerLine::crc(const QByteArray& data)
{
    // Table-free CRC-16/XMODEM, written independently of the engine's.
    quint32 c = 0;
    for (char byte : data) {
        c ^= quint32(quint8(byte)) << 8;
        for (int i = 0; i < 8; ++i) {
            c <<= 1;
            if (c & 0x10000)
                c ^= 0x11021;
        }
    }
    return quint16(c);
}

QByteArray WorkerLine::block(int number, const QByteArray& payload, int size, bool badCrc)
{
    QByteArray data = payload.left(size);
    data.append(size - data.size(), char(0x1A));
    QByteArray out;
    out.append(size == 128 ? SOH : STX);
    out.append(char(number & 0xFF));
    out.append(char(0xFF - (number & 0xFF)));
    out.append(data);
    quint16 c = crc(data);
    if (badCrc)
        c ^= 0x0101;
    out.append(char(c >> 8));
    out.append(char(c & 0xFF));
    return out;
}

QByteArray WorkerLine::header(const QByteArray& nameAndSize)
{
    QByteArray data = nameAndSize;
    data.append(128 - data.size(), '\0');
    return block(0, data, 128);
}
