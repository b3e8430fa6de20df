#include "qextserialbase.h"

#include "serialplatform.h"

#include <QMutexLocker>

QextSerialBase::QextSerialBase() : QIODevice(), mutex(nullptr), lastErr(ErrNone), mode(EventIo)
{
    initDefaults();
}

QextSerialBase::QextSerialBase(const QString& name)
    : QIODevice(), mutex(nullptr), port(name), lastErr(ErrNone), mode(EventIo)
{
    initDefaults();
}

QextSerialBase::~QextSerialBase()
{
    delete mutex;
}

void QextSerialBase::initDefaults()
{
    settings.baudRate = Baud9600;
    settings.dataBits = Data8;
    settings.parity = ParityNone;
    settings.stopBits = Stop1;
    settings.flowControl = FlowOff;
    settings.timeoutMs = 500;
    if (!mutex)
        mutex = new QRecursiveMutex;
    setOpenMode(NotOpen);
}

void QextSerialBase::setPortName(const QString& name)
{
    port = name;
}

QString QextSerialBase::portName() const
{
    return port;
}

void QextSerialBase::setIoMode(IoMode ioMode)
{
    mode = ioMode;
}

BaudRateType QextSerialBase::baudRate() const
{
    return settings.baudRate;
}

DataBitsType QextSerialBase::dataBits() const
{
    return settings.dataBits;
}

ParityType QextSerialBase::parity() const
{
    return settings.parity;
}

StopBitsType QextSerialBase::stopBits() const
{
    return settings.stopBits;
}

FlowControlType QextSerialBase::flowControl() const
{
    return settings.flowControl;
}

qint64 QextSerialBase::readLine(char* data, qint64 maxSize)
{
    if (maxSize < 2)
        return -1;
    // Counted once: what has arrived when the call starts, not a figure that shrinks with every
    // byte taken (which would stop half-way through a line that is all there).
    const qint64 available = bytesAvailable();
    qint64 stored = 0;
    while (stored < available && stored < maxSize - 1) {
        char c;
        if (readData(&c, 1) != 1)
            break;
        data[stored++] = c;
        if (c == '\n')
            break;
    }
    data[stored] = '\0';
    return stored;
}

ulong QextSerialBase::lastError() const
{
    // The monitor thread records a vanished device here while another thread may be asking.
    QMutexLocker lock(mutex);
    return lastErr;
}

void QextSerialBase::translateError(ulong flags)
{
    if (flags & SerialPlatform::FlagBreak)
        lastErr = ErrBreak;
    else if (flags & SerialPlatform::FlagFrame)
        lastErr = ErrFraming;
    else if (flags & SerialPlatform::FlagIo)
        lastErr = ErrIo;
    else if (flags & SerialPlatform::FlagMode)
        lastErr = ErrMode;
    else if (flags & SerialPlatform::FlagOverrun)
        lastErr = ErrOverrun;
    else if (flags & SerialPlatform::FlagParity)
        lastErr = ErrParity;
    else if (flags & SerialPlatform::FlagRxOver)
        lastErr = ErrRxOverflow;
    else if (flags & SerialPlatform::FlagTxFull)
        lastErr = ErrTxFull;
}
