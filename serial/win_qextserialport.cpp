#include "win_qextserialport.h"

#include "seriallinerules.h"
#include "win_qextserialthread.h"

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QMetaMethod>
#include <QMutexLocker>
#include <QThread>

namespace
{

// Bounded wait for queued output at close and flush: a line nobody reads must not hang us.
const int FlushTimeoutMs = 2000;
// After a failed event wait, pause before the next so a persistent failure cannot spin.
const int WaitFailurePauseMs = 100;

QMutex lastOpenMutex;
int lastOpenErrno = 0;
QString lastOpenPort;

QString errorText(int err)
{
    return QString::fromStdString(SerialPlatform::errorString(err));
}

void recordOpenResult(const QString& name, int err)
{
    QMutexLocker lock(&lastOpenMutex);
    lastOpenErrno = err;
    lastOpenPort = name;
}
} // namespace

int Win_QextSerialPort::lastOpenError(QString* portName)
{
    QMutexLocker lock(&lastOpenMutex);
    if (portName)
        *portName = lastOpenPort;
    return lastOpenErrno;
}

Win_QextSerialPort::Win_QextSerialPort() : QextSerialBase()
{
    init(EventIo);
}

Win_QextSerialPort::Win_QextSerialPort(const QString& name, IoMode ioMode) : QextSerialBase(name)
{
    init(ioMode);
}

void Win_QextSerialPort::init(IoMode ioMode)
{
    handle = nullptr;
    waker = nullptr;
    joining = false;
    modemChanged = false;
    txWaiting = false;
    setIoMode(ioMode);
    _bytesToWrite = 0;
    overlapThread = new Win_QextSerialThread(this);
    bytesToWriteLock = new QReadWriteLock;
    gone = false;
    goneErr = 0;
    modemSupported = false;
    lastDsr = -1;
}

Win_QextSerialPort::~Win_QextSerialPort()
{
    if (isOpen())
        close();
    // A close made from the monitor's own thread left it to finish by itself.
    if (overlapThread->isRunning() && QThread::currentThread() != overlapThread)
        overlapThread->wait();
    SerialPlatform::destroyWaker(waker);
    delete overlapThread;
    delete bytesToWriteLock;
}

bool Win_QextSerialPort::isSequential() const
{
    return true;
}

bool Win_QextSerialPort::open(OpenMode openMode)
{
    // A monitor that a close from its own thread told to stop may still be finishing; a new
    // one cannot start before it has ended. Waited for without the port lock, which its
    // last slot call may want.
    if (!isOpen() && overlapThread->isRunning() && QThread::currentThread() != overlapThread)
        overlapThread->wait();

    QMutexLocker lock(mutex);
    if (openMode == NotOpen)
        return isOpen();
    // While another thread's close waits for the monitor, a slot on the monitor thread must not
    // open the port again: the close would then wait for a monitor that carries on.
    if (isOpen() || joining)
        return false;

    int err = 0;
    const QString failure = openDevice(&err);
    if (!failure.isEmpty()) {
        closeHandle();
        setErrorString(failure);
        return false;
    }
    QIODevice::open(openMode);
    if (mode == EventIo) {
        overlapThread->resume();
        // Re-opened from a slot on the monitor thread: that thread simply carries on.
        if (QThread::currentThread() != overlapThread)
            overlapThread->start(QThread::currentThread()->priority());
        startModemWatcher();
    }
    return true;
}

// Opens the device and sets up its line; nothing is running yet. On failure returns why, with
// the device possibly still held (the caller closes it).
QString Win_QextSerialPort::openDevice(int* err)
{
    SerialPlatform::Port* h = SerialPlatform::openPort(port.toStdString(), err);
    recordOpenResult(port, h ? 0 : *err);
    if (!h)
        return QStringLiteral("%1: %2").arg(port, errorText(*err));
    input.exchangeHandle(&handle, h);
    output.clear();
    gone = false;
    goneErr = 0;
    txWaiting = false;
    modemChanged = false;
    SerialPlatform::readConfig(h, &config, err);
    SerialLineRules::prepareConfig(&config);

    // With the handle set, each setter writes the configuration record.
    setBaudRate(settings.baudRate);
    setDataBits(settings.dataBits);
    setStopBits(settings.stopBits);
    setParity(settings.parity);
    setFlowControl(settings.flowControl);
    setTimeout(settings.timeoutMs);

    // A line left in cooked mode would translate and swallow bytes: refuse it.
    if (!SerialPlatform::applyConfig(h, config, err))
        return QStringLiteral("%1: cannot set the line: %2").arg(port, errorText(*err));
    if (mode != EventIo)
        return QString();

    commTimeouts = SerialLineRules::immediateTimeouts();
    SerialPlatform::applyTimeouts(h, commTimeouts, err);

    if (!waker)
        waker = SerialPlatform::createWaker(err);
    if (!waker || !SerialPlatform::watchEvents(h, err)) {
        qWarning("Failed to set Comm Mask. Error code: %ld", long(*err));
        return QStringLiteral("%1: cannot watch the line: %2").arg(port, errorText(*err));
    }
    SerialPlatform::clearWake(waker);

    bool supported = false;
    int lines = SerialPlatform::modemStatus(h, &supported, err);
    modemSupported = supported && lines >= 0;
    lastDsr = modemSupported ? ((lines & SerialPlatform::ModemDsr) ? 1 : 0) : -1;
    return QString();
}

void Win_QextSerialPort::startModemWatcher()
{
    if (modemSupported && !modemWatcher.joinable())
        modemWatcher = std::thread(&Win_QextSerialPort::watchModemLines, this, handle.load());
}

void Win_QextSerialPort::stopModemWatcher()
{
    if (!modemWatcher.joinable())
        return;
    SerialPlatform::cancelModemWait(handle);
    modemWatcher.join();
}

void Win_QextSerialPort::watchModemLines(SerialPlatform::Port* h)
{
    // The device reports only changes after the wait has begun: have the monitor look once
    // more, for a change made since open() read the lines.
    modemChanged = true;
    SerialPlatform::wake(waker);
    // Ends when cancelled, when the device cannot report changes (nothing then reports DSR)
    // or when it has gone (the monitor sees the hang-up).
    int err = 0;
    while (SerialPlatform::waitModemChange(h, &err) > 0) {
        modemChanged = true;
        SerialPlatform::wake(waker);
    }
}

void Win_QextSerialPort::close()
{
    QMutexLocker lock(mutex);
    if (!isOpen())
        return;
    // Bounded: what the device has not sent by then is given up, or the kernel's close would
    // wait for it up to the line's closing wait (30 s on USB devices) with this lock held.
    if (handle && !flushOutput(FlushTimeoutMs) && handle)
        SerialPlatform::discardOutput(handle);
    if (overlapThread->isRunning()) {
        overlapThread->stop();
        SerialPlatform::wake(waker);
        if (QThread::currentThread() != overlapThread) {
            // The monitor may be inside a slot that waits for this lock.
            joining = true;
            lock.unlock();
            overlapThread->wait();
            lock.relock();
            joining = false;
            if (!isOpen())
                return; // a slot on the monitor thread closed the port meanwhile
        }
    }
    stopModemWatcher();
    closeHandle();
    reportReady();
    {
        QWriteLocker pending(bytesToWriteLock);
        _bytesToWrite = 0;
    }
    QIODevice::close();
}

void Win_QextSerialPort::closeHandle()
{
    SerialPlatform::Port* h = input.exchangeHandle(&handle, nullptr);
    output.clear();
    txWaiting = false;
    if (!h)
        return;
    int err = 0;
    SerialPlatform::closePort(h, &err);
}

qint64 Win_QextSerialPort::size() const
{
    // Not under the port lock; the input queue's lock keeps a close from freeing the handle.
    return input.sizeWithDevice(handle, gone);
}

bool Win_QextSerialPort::atEnd() const
{
    return size() == 0;
}

qint64 Win_QextSerialPort::bytesToWrite() const
{
    return _bytesToWrite;
}

bool Win_QextSerialPort::waitForReadyRead(int msecs)
{
    if (onMonitorThread())
        return false; // nothing could be reported while the monitor itself waits
    quint64 seen;
    {
        QMutexLocker lock(&readyMutex);
        seen = readyReports;
    }
    // The count is taken before this look, so a report between the two is not missed.
    if (input.queued() > 0)
        return true;
    if (!handle || gone)
        return false;
    const QDeadlineTimer deadline(msecs < 0 ? QDeadlineTimer::Forever : msecs, Qt::PreciseTimer);
    if (ioMode() != EventIo) {
        // No monitor to report: the device is asked in short steps.
        while (bytesAvailable() == 0 && !deadline.hasExpired())
            QThread::msleep(1);
        return bytesAvailable() > 0;
    }
    bool reported;
    {
        QMutexLocker lock(&readyMutex);
        while (readyReports == seen && handle && !gone)
            if (!readyArrived.wait(&readyMutex, deadline))
                break;
        reported = readyReports != seen;
    }
    if (input.queued() > 0)
        return true;
    return reported && handle && !gone;
}

void Win_QextSerialPort::reportReady()
{
    {
        QMutexLocker lock(&readyMutex);
        ++readyReports;
    }
    readyArrived.wakeAll();
}

void Win_QextSerialPort::setBaudRate(BaudRateType rate)
{
    QMutexLocker lock(mutex);
    SerialLineRules::storeBaudRate(&settings, rate);
    if (handle)
        SerialLineRules::applyBaudRate(&config, rate);
}

void Win_QextSerialPort::setDataBits(DataBitsType bits)
{
    QMutexLocker lock(mutex);
    SerialLineRules::storeDataBits(&settings, bits);
    if (handle)
        SerialLineRules::applyDataBits(settings, &config, bits);
}

void Win_QextSerialPort::setStopBits(StopBitsType bits)
{
    QMutexLocker lock(mutex);
    SerialLineRules::storeStopBits(&settings, bits);
    if (handle)
        SerialLineRules::applyStopBits(settings, &config, bits);
}

void Win_QextSerialPort::setParity(ParityType parity)
{
    QMutexLocker lock(mutex);
    settings.parity = parity;
    if (handle)
        SerialLineRules::applyParity(settings, &config, parity);
}

void Win_QextSerialPort::setFlowControl(FlowControlType flow)
{
    QMutexLocker lock(mutex);
    settings.flowControl = flow;
    if (!handle)
        return;
    SerialLineRules::applyFlowControl(&config, flow);
    // Software flow control reaches the open line at once; every other change waits for the
    // next open.
    if (flow == FlowXonXoff) {
        int err = 0;
        SerialPlatform::applyConfig(handle, config, &err);
    }
}

void Win_QextSerialPort::setTimeout(long ms)
{
    QMutexLocker lock(mutex);
    settings.timeoutMs = ms;
    commTimeouts = SerialLineRules::timeouts(ms);
    if (mode == PolledIo && handle) {
        int err = 0;
        SerialPlatform::applyTimeouts(handle, commTimeouts, &err);
    }
}

void Win_QextSerialPort::flush()
{
    QMutexLocker lock(mutex);
    if (isOpen() && handle)
        flushOutput(FlushTimeoutMs);
}

// Hands queued output to the device and waits, within timeoutMs, until the device has sent it.
bool Win_QextSerialPort::flushOutput(int timeoutMs)
{
    if (gone)
        return false;
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        int err = 0;
        bool more = false;
        if (!output.pump(handle, &err, &more)) {
            markGone(err);
            return false;
        }
        if (!more)
            break;
        const int left = timeoutMs - int(timer.elapsed());
        if (left <= 0) {
            qWarning("Win_QextSerialPort: %s: output not sent within %d ms", qPrintable(port),
                     timeoutMs);
            return false;
        }
        SerialPlatform::waitEvents(handle, false, true, nullptr, left, &err);
    }
    int err = 0;
    const int left = qMax(0, timeoutMs - int(timer.elapsed()));
    if (SerialPlatform::drainOutput(handle, left, &err))
        return true;
    if (err == SerialPlatform::ErrorTimedOut)
        qWarning("Win_QextSerialPort: %s: output not sent within %d ms", qPrintable(port),
                 timeoutMs);
    return false;
}

void Win_QextSerialPort::markGone(int err)
{
    if (gone)
        return;
    goneErr = err ? err : SerialPlatform::ErrorGone;
    gone = true;
    reportReady();
    output.clear();
    txWaiting = false;
    QMutexLocker lock(mutex);
    translateError(SerialPlatform::errorFlags(goneErr));
}

qint64 Win_QextSerialPort::bytesAvailable()
{
    QMutexLocker lock(mutex);
    if (!isOpen() || !handle)
        return 0;
    const qint64 queued = input.queued();
    if (gone) {
        if (queued > 0) {
            lastErr = ErrNone;
            return QIODevice::bytesAvailable() + queued;
        }
        translateError(SerialPlatform::errorFlags(goneErr));
        return -1;
    }
    int err = 0;
    qint64 driver = SerialPlatform::inputQueue(handle, &err);
    if (driver < 0) {
        if (SerialPlatform::isGoneError(err))
            markGone(err);
        // What has arrived before the failure can still be read.
        if (queued > 0) {
            lastErr = ErrNone;
            return QIODevice::bytesAvailable() + queued;
        }
        translateError(SerialPlatform::errorFlags(err));
        return -1;
    }
    lastErr = ErrNone;
    return QIODevice::bytesAvailable() + queued + driver;
}

// Serves a read from the input queue first and then from the device, in arrival order.
qint64 Win_QextSerialPort::takeInput(char* data, qint64 maxSize)
{
    // On the monitor thread the device is left alone: the monitor looks at it again as soon as
    // its report returns.
    const SerialInputQueue::Taken got =
        input.take(handle, data, maxSize, !gone && !onMonitorThread());
    if (got.resume)
        SerialPlatform::wake(waker);
    if (got.failed)
        markGone(got.err);
    if (got.count == 0 && (got.failed || gone)) {
        lastErr = ErrReadFailed;
        return -1;
    }
    return got.count;
}

qint64 Win_QextSerialPort::readData(char* data, qint64 maxSize)
{
    QMutexLocker lock(mutex);
    if (!handle) {
        lastErr = ErrReadFailed;
        return -1;
    }
    if (mode == EventIo)
        return takeInput(data, maxSize);
    int err = 0;
    qint64 n = SerialPlatform::readSome(handle, data, maxSize, &err);
    if (n < 0) {
        lastErr = ErrReadFailed;
        return -1;
    }
    return n;
}

qint64 Win_QextSerialPort::writeData(const char* data, qint64 maxSize)
{
    QMutexLocker lock(mutex);
    if (!handle || gone) {
        lastErr = ErrWriteFailed;
        return -1;
    }
    int err = 0;
    if (mode == PolledIo || !overlapThread->isRunning()) {
        qint64 n = SerialPlatform::writeAll(handle, data, maxSize, &err);
        if (n < 0) {
            lastErr = ErrWriteFailed;
            return -1;
        }
        return n;
    }

    {
        QWriteLocker pending(bytesToWriteLock);
        _bytesToWrite += maxSize;
    }
    qint64 accepted = 0; // of this call's bytes, taken by the device
    // What the device does not take at once waits in the output queue for the monitor; a failed
    // call queues nothing of its own.
    if (!output.appendAndPump(handle, data, maxSize, &accepted, &err)) {
        {
            QWriteLocker pending(bytesToWriteLock);
            _bytesToWrite -= maxSize - accepted;
        }
        if (SerialPlatform::isGoneError(err))
            markGone(err);
        lastErr = ErrWriteFailed;
        if (accepted == 0)
            return -1;
        txWaiting = true;
        wakeMonitor();
        return accepted;
    }
    if (accepted == maxSize &&
        !isSignalConnected(QMetaMethod::fromSignal(&QIODevice::bytesWritten))) {
        // The device took it all and nobody listens for the report: waking the monitor only to
        // tell nobody would cost two thread switches for every write.
        QWriteLocker pending(bytesToWriteLock);
        _bytesToWrite -= maxSize;
        return maxSize;
    }
    txWaiting = true;
    wakeMonitor();
    return maxSize;
}

bool Win_QextSerialPort::onMonitorThread() const
{
    return QThread::currentThread() == overlapThread;
}

// A write made on the monitor thread (from a slot of its own report) needs no wake-up: the
// monitor looks at the output queue before it waits again.
void Win_QextSerialPort::wakeMonitor()
{
    if (!onMonitorThread())
        SerialPlatform::wake(waker);
}

void Win_QextSerialPort::ungetChar(char)
{
    qWarning("Win_QextSerialPort: ungetChar() called on an unbuffered sequential device - "
             "operation is meaningless");
}

void Win_QextSerialPort::setDtr(bool set)
{
    QMutexLocker lock(mutex);
    if (isOpen() && handle && !gone) {
        int err = 0;
        SerialPlatform::setDtr(handle, set, &err);
    }
}

void Win_QextSerialPort::setRts(bool set)
{
    QMutexLocker lock(mutex);
    if (isOpen() && handle && !gone) {
        int err = 0;
        SerialPlatform::setRts(handle, set, &err);
    }
}

ulong Win_QextSerialPort::lineStatus()
{
    QMutexLocker lock(mutex);
    if (!isOpen() || !handle || gone)
        return 0;
    bool supported = false;
    int err = 0;
    int lines = SerialPlatform::modemStatus(handle, &supported, &err);
    if (lines <= 0)
        return 0;
    ulong status = 0;
    if (lines & SerialPlatform::ModemCts)
        status |= LineCts;
    if (lines & SerialPlatform::ModemDsr)
        status |= LineDsr;
    if (lines & SerialPlatform::ModemRing)
        status |= LineRi;
    if (lines & SerialPlatform::ModemDcd)
        status |= LineDcd;
    return status;
}

BaudRateType Win_QextSerialPort::portBaudRate() const
{
    return QextSerialBase::baudRate();
}

ParityType Win_QextSerialPort::portParity() const
{
    return QextSerialBase::parity();
}

DataBitsType Win_QextSerialPort::portDataBits() const
{
    return QextSerialBase::dataBits();
}

StopBitsType Win_QextSerialPort::portStopBits() const
{
    return QextSerialBase::stopBits();
}

FlowControlType Win_QextSerialPort::portFlowControl() const
{
    return QextSerialBase::flowControl();
}

SerialPlatform::LineConfig Win_QextSerialPort::lineConfig() const
{
    QMutexLocker lock(mutex);
    return config;
}

SerialPlatform::Timeouts Win_QextSerialPort::timeouts() const
{
    QMutexLocker lock(mutex);
    return commTimeouts;
}

void Win_QextSerialPort::monitorCommEvent()
{
    SerialPlatform::Port* h = handle;
    const bool watchPort = h && !gone;
    bool wantRead = false;
    bool wantWrite = false;
    if (watchPort) {
        wantRead = !input.throttled();
        wantWrite = !output.empty();
    }
    // Sleep until something happens, without a time-out: writes, modem-line changes and close
    // poke the waker. A vanished device is not watched at all, so its endless hang-up report
    // cannot keep this thread busy.
    int err = 0;
    const int seen =
        SerialPlatform::waitEvents(watchPort ? h : nullptr, wantRead, wantWrite, waker, -1, &err);
    if (seen & SerialPlatform::WaitWoken)
        SerialPlatform::clearWake(waker);
    if (seen & SerialPlatform::WaitModemChanged)
        modemChanged = true;
    if (overlapThread->stopping())
        return;
    if (seen & SerialPlatform::WaitFailed) {
        qCritical("WaitCommEvent error %ld\n", long(err));
        QThread::msleep(WaitFailurePauseMs);
        return;
    }
    if (!watchPort)
        return;

    // Received characters: move everything that has arrived into the input queue.
    qint64 arrived = 0;
    if (seen & (SerialPlatform::WaitReadable | SerialPlatform::WaitHangup)) {
        int readErr = 0;
        bool failed = false;
        arrived = input.fill(h, &failed, &readErr);
        if (failed) {
            if (!SerialPlatform::isGoneError(readErr))
                qWarning("Comm event overlapped error %ld", long(readErr));
            markGone(readErr);
        } else if ((seen & SerialPlatform::WaitHangup) && arrived == 0) {
            markGone(SerialPlatform::ErrorGone);
        }
    }

    if (seen & SerialPlatform::WaitWritable) {
        int writeErr = 0;
        if (!output.pump(h, &writeErr))
            markGone(writeErr);
    }

    if (arrived > 0) {
        emit readyRead();
        // After the slots: a waiter finds what they did with the bytes.
        reportReady();
        // A directly connected slot may have closed (or re-opened) the port.
        if (overlapThread->stopping() || handle != h)
            return;
    }

    // Output queue empty: the device has taken every byte written since the last report. (The
    // terminal gives no wake-up when its own queue has gone out on the wire.)
    if (txWaiting && !gone && output.empty()) {
        txWaiting = false;
        qint64 count;
        {
            QWriteLocker pending(bytesToWriteLock);
            count = _bytesToWrite;
            _bytesToWrite = 0;
        }
        if (count > 0) {
            emit bytesWritten(count);
            if (overlapThread->stopping() || handle != h)
                return;
        }
    }

    if (modemChanged.exchange(false) && !gone) {
        const int dsr = (lineStatus() & LineDsr) ? 1 : 0;
        if (dsr != lastDsr) {
            lastDsr = dsr;
            emit dsrChanged(dsr != 0);
        }
    }
}
