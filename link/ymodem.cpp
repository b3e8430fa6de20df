// The worker object: construction, the port's life, the small slots and the byte input path.
#include "ymodem.h"

#include "consoletrace.h"
#include "qextserialport.h"
#include "resultcodes.h"
#include "ymodemline.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QMutexLocker>
#include <QSemaphore>
#include <QThread>
#include <QTimer>
#include <memory>

namespace
{
const int kRxBufferSize = 16384;    // capture buffer of the buffered input path
const int kAnswerBufferSize = 4096; // a receiver's answers during a send, and some line noise
const int kStatusIntervalMs = 20;   // how often the status line is repeated to the window
const int kReadWaitMs = 10;         // longest a one-byte read waits on a silent line
const int kPortFailureWaitMs = 200; // pause after the port could not count its bytes
const int kSettleAfterOpenMs = 100; // lets the console's side settle after the port opens
const int kRunFlagPollMs = 300;     // sleep step of initThread
const int kVerChangedDefault = 300000;
// The baud-rate code the console link asks for. It is none of the port's codes, so the port keeps
// the line rate the system already has for the device.
const int kKeepLineRate = 0x20000;
const int kOpenMode = QIODevice::ReadWrite | QIODevice::Unbuffered; // 35
const char kACK = 0x06;
} // namespace

YMODEM::YMODEM(QObject* parent)
    : QObject(parent), statusTimer(nullptr), preserveSettings(true), rescueRequested(false),
      port(nullptr), queryList(nullptr), settingsChanged(false), versionTooOld(false),
      deviceVersion(0), verChanged(kVerChangedDefault), minVerChanged(0), rxBuffer(nullptr),
      rxCount(0)
{
    // The window connects its copyQueriesSignal(QStringList*, int, int) across threads.
    qRegisterMetaType<QStringList*>("QStringList*");

    rxCapture = 0;
    statusTimer = new QTimer(this);
    statusTimer->setInterval(kStatusIntervalMs);
    statusTimer->start();
    connect(statusTimer, SIGNAL(timeout()), this, SLOT(timerSlot()));

    rxBuffer = new char[kRxBufferSize];
    answerBuffer = new char[kAnswerBufferSize];

    queryList = new QStringList;

    // Runs first thing in the thread the worker is moved to.
    QMetaObject::invokeMethod(
        this, [this] { watchThreadEnd(); }, Qt::QueuedConnection);
}

YMODEM::~YMODEM()
{
    try {
        runFlag = false;
        // Destroyed from outside its thread: end that thread first, so that the timer and the
        // port are released in the thread they belong to.
        QThread* own = thread();
        if (own && own != QThread::currentThread() && own->isRunning() && !stopThread(5000)) {
            // The thread is still inside a sequence that uses the buffers, the port and the
            // statement list: leave them to it rather than free memory under its feet.
            qDebug() << "Error Detected";
            return;
        }
        if (statusTimer)
            statusTimer->stop();
        releasePort();
        qDebug() << "Distructor istantiated";
        delete statusTimer;
        statusTimer = nullptr;
        delete[] rxBuffer;
        rxBuffer = nullptr;
        // The private folder goes with the worker once its received files are gone; anything
        // still in it stays (only an empty folder is removed).
        receiveFolder.removeOwnIfEmpty();
        delete[] answerBuffer;
        answerBuffer = nullptr;
    } catch (...) {
        qDebug() << "Error Detected";
    }
    delete queryList;
    queryList = nullptr;
}

bool YMODEM::stopThread(unsigned long waitMs)
{
    runFlag = false;
    QThread* own = thread();
    if (!own || own == QThread::currentThread() || !own->isRunning())
        return true;

    const QDeadlineTimer deadline{qint64(waitMs)};
    // Release the timer and the port in their own thread while its event loop still runs;
    // waiting on a semaphore rather than a blocking call keeps the wait bounded when the thread
    // is busy in a sequence.
    auto released = std::make_shared<QSemaphore>();
    QMetaObject::invokeMethod(
        this,
        [this, released] {
            releaseInThread();
            released->release();
        },
        Qt::QueuedConnection);
    released->tryAcquire(1, int(qMax<qint64>(0, deadline.remainingTime())));

    own->quit();
    if (own->wait(deadline))
        return true;
    ConsoleTrace::print(QStringLiteral("Worker thread did not stop within %1 ms.\r\n").arg(waitMs));
    return false;
}

void YMODEM::watchThreadEnd()
{
    if (threadEndWatched)
        return;
    threadEndWatched = true;
    // finished() is emitted inside the ending thread, before its event dispatcher goes, which
    // is the last moment the timer and the port can be released from their own thread.
    connect(
        QThread::currentThread(), &QThread::finished, this, [this] { releaseInThread(); },
        Qt::DirectConnection);
}

void YMODEM::releaseInThread()
{
    statusTimer->stop();
    releasePort();
}

void YMODEM::releasePort()
{
    {
        // Answers taken off a line are no business of the next one.
        QMutexLocker lock(&rxWaitMutex);
        answerHead = answerTail = 0;
    }
    if (!port)
        return;
    if (port->isOpen())
        port->close();
    delete port;
    port = nullptr;
}

void YMODEM::setStatus(const QString& text)
{
    statusText = text;
    emit setFirmwareUploadStatus(statusText);
    if (statusTimer && !statusTimer->isActive() &&
        statusTimer->thread() == QThread::currentThread())
        statusTimer->start();
}

void YMODEM::ySerialConnect(QString commName)
{
    watchThreadEnd();
    if (port && port->isOpen()) {
        ConsoleTrace::print(QStringLiteral("ySerialConnect: port is opened, no operation.\r\n"));
        return;
    }

    // A port object left over from a failed attempt or closed by a sequence is replaced.
    releasePort();
    port = new QextSerialPort(commName, EventIo);
    port->setBaudRate(static_cast<BaudRateType>(kKeepLineRate));
    port->setFlowControl(FlowOff);
    port->setParity(ParityNone);
    port->setDataBits(Data8);
    port->setStopBits(Stop1);
    port->setTimeout(100);
    port->open(QIODevice::OpenMode(kOpenMode));

    if (port->isOpen()) {
        // Direct: captures bytes on the port's monitor thread while this thread sleeps.
        connect(port, SIGNAL(readyRead()), this, SLOT(onReadyRead()), Qt::DirectConnection);
        QThread::msleep(kSettleAfterOpenMs);
        emit serialConnected(int(PortState::Open));
    } else {
        emit serialConnected(int(PortState::OpenFailed));
    }
}

void YMODEM::serialDisconnect()
{
    if (!port)
        return;
    releasePort();
    emit serialConnected(int(PortState::Closed));
}

void YMODEM::ySaveUsersFile() {}

void YMODEM::stopExecution()
{
    runFlag = false;
}

void YMODEM::initThread()
{
    runFlag = true;
    while (runFlag)
        QThread::msleep(kRunFlagPollMs);
}

void YMODEM::preserveSettingsModeSlot(bool value)
{
    preserveSettings = value;
    rescueRequested = !value;
}

void YMODEM::copyQueriesSlot(QStringList* queries, int verChanged, int minVerChanged)
{
    if (!queries)
        return;
    for (int i = 0; i < queries->size(); ++i)
        queryList->insert(i, queries->at(i));
    // The limits count also for a release without statements: a console at or below
    // minVerChanged must be refused either way.
    this->verChanged = verChanged;
    this->minVerChanged = minVerChanged;
}

void YMODEM::setExpectedSerial(QString serial)
{
    expectedSerial = serial.trimmed();
}

void YMODEM::requestStop(bool stop)
{
    stopRequested = stop;
}

void YMODEM::setKeepConsoleCopy(bool keep)
{
    keepConsoleCopy = keep;
}

// A port that cannot count its bytes is asked once more after a pause: only a line that stays
// so is gone (the port reports a hang-up that way once nothing it holds is left to read).
bool YMODEM::lineLost()
{
    if (!port || !port->isOpen())
        return true;
    if (port->bytesAvailable() >= 0)
        return false;
    QThread::msleep(kPortFailureWaitMs);
    return !port->isOpen() || port->bytesAvailable() < 0;
}

void YMODEM::timerSlot()
{
    watchThreadEnd();
    // Every change of the line is also sent where it is made; repeating an unchanged line would
    // only cost both threads fifty wake-ups a second while the updater idles. The timer rests
    // until setStatus() changes the line.
    if (statusTicked && statusText == tickedStatus) {
        statusTimer->stop();
        return;
    }
    statusTicked = true;
    tickedStatus = statusText;
    emit setFirmwareUploadStatus(statusText);
}

// ---- Byte input ----

void YMODEM::onReadyRead()
{
    QextSerialPort* p = port;
    if (p && captureAnswers(p))
        return;
    if (p && rxCapture == 1)
        captureReceived(p);
    // Wake a waiting reader only now that the bytes are where it looks for them: woken earlier,
    // it would find the capture buffer unchanged and doze on.
    {
        QMutexLocker wake(&rxWaitMutex);
        ++rxNotifyCount;
    }
    rxArrived.wakeAll();
}

void YMODEM::captureReceived(QextSerialPort* p)
{
    const int n = int(p->bytesAvailable());
    if (n <= 0)
        return;
    QMutexLocker lock(&rxMutex);
    if (rxCount + n < kRxBufferSize) {
        const qint64 got = p->read(rxBuffer + rxCount, n);
        if (got > 0)
            rxCount += int(got);
    } else {
        // The buffer is linear: on overflow everything held is dropped and the new bytes stay
        // in the port until the next notification.
        rxCount = 0;
    }
}

// Port's thread. rxWaitMutex is held across the read and the write so that the sender sees the
// answer and the block written on it together. Lock order: rxWaitMutex, then the port's lock;
// the worker never takes rxWaitMutex while it holds the port's lock.
bool YMODEM::captureAnswers(QextSerialPort* p)
{
    QMutexLocker lock(&rxWaitMutex);
    if (!answerCapture)
        return false;
    const bool nothingUnread = answerHead == answerTail;
    if (nothingUnread) {
        answerHead = answerTail = 0;
    } else if (answerHead > 0) {
        memmove(answerBuffer, answerBuffer + answerHead, size_t(answerTail - answerHead));
        answerTail -= answerHead;
        answerHead = 0;
    }
    for (;;) {
        const int room = kAnswerBufferSize - answerTail;
        if (room == 0) {
            // More than any answer: noise beyond the buffer is dropped.
            char drop[256];
            if (p->read(drop, sizeof drop) < qint64(sizeof drop))
                break;
            continue;
        }
        const qint64 got = p->read(answerBuffer + answerTail, room);
        if (got <= 0)
            break;
        answerTail += int(got);
        if (got < room)
            break;
    }
    // Only an ACK that is the first answer to the block on the line stands for that block;
    // anything else is left to the sender's own rules.
    if (runContents && nothingUnread && answerTail > 0 && answerBuffer[0] == kACK) {
        sendRunBlock(p);
        // The sender finds the run's progress when it next reads; only what it must judge
        // itself wakes it.
        if (answerHead == answerTail) {
            answerHead = answerTail = 0;
            return true;
        }
    }
    ++rxNotifyCount;
    // Woken while the lock is still held, the sender would only block on it again.
    lock.unlock();
    rxArrived.wakeAll();
    return true;
}

void YMODEM::beginAnswerCapture()
{
    QMutexLocker lock(&rxWaitMutex);
    answerCapture = true;
    runContents = nullptr;
}

// What is still unread stays for yTransmitRead; new bytes wait in the port again.
void YMODEM::endAnswerCapture()
{
    QMutexLocker lock(&rxWaitMutex);
    answerCapture = false;
    runContents = nullptr;
    runNext.clear();
}

void YMODEM::armRun(const QByteArray* contents, const BlockAt& onLine)
{
    QByteArray next;
    if (onLine.followed())
        next = dataBlock(*contents, onLine.next());
    QMutexLocker lock(&rxWaitMutex);
    runContents = next.isEmpty() ? nullptr : contents;
    runOnLine = onLine;
    runNext = next;
    runAdvanced = 0;
}

quint32 YMODEM::stopRun()
{
    QMutexLocker lock(&rxWaitMutex);
    runContents = nullptr;
    runNext.clear();
    const quint32 advanced = runAdvanced;
    runAdvanced = 0;
    return advanced;
}

int YMODEM::readAnswer(char& c, quint32* advanced)
{
    QMutexLocker lock(&rxWaitMutex);
    const QDeadlineTimer deadline(kReadWaitMs, Qt::PreciseTimer);
    while (answerCapture && answerHead == answerTail && !deadline.hasExpired())
        rxArrived.wait(&rxWaitMutex, deadline);
    // Taken with the byte: what is unread came after the run's last block went out.
    if (advanced) {
        *advanced = runAdvanced;
        runAdvanced = 0;
    }
    if (answerHead == answerTail) {
        c = 0;
        return 0;
    }
    c = answerBuffer[answerHead++];
    return 1;
}

int YMODEM::yTransmitRead(char& c, unsigned short timeout)
{
    Q_UNUSED(timeout) // every caller gets the same short wait
    if (!port) {
        QThread::msleep(kReadWaitMs);
        c = 0;
        return 0;
    }

    // Wait for a notification rather than sleeping a fixed time. The counter taken before the
    // look at the port closes the gap between that look and the wait; the port's lock is never
    // taken while rxWaitMutex is held, so the monitor thread cannot deadlock against us.
    quint64 seen;
    {
        QMutexLocker lock(&rxWaitMutex);
        seen = rxNotifyCount;
        // During a send the port's thread reads the answers; what it took is read first after.
        if (answerCapture || answerHead < answerTail) {
            lock.unlock();
            return readAnswer(c, nullptr);
        }
    }
    qint64 waiting = port->bytesAvailable();
    const QDeadlineTimer deadline(kReadWaitMs, Qt::PreciseTimer);
    while (waiting == 0 && !deadline.hasExpired()) {
        {
            QMutexLocker lock(&rxWaitMutex);
            if (rxNotifyCount == seen)
                rxArrived.wait(&rxWaitMutex, deadline);
            seen = rxNotifyCount;
        }
        waiting = port->bytesAvailable();
    }

    if (waiting < 0) {
        qDebug() << "Port Closed";
        QThread::msleep(kPortFailureWaitMs);
        waiting = port->bytesAvailable();
    }
    if (waiting == 0) {
        c = 0;
        return 0;
    }
    return int(port->read(&c, 1));
}

void YMODEM::yTransmitWrite(char c)
{
    if (port && port->isOpen())
        port->write(&c, 1);
}

void YMODEM::yTransmitFlushInput()
{
    {
        QMutexLocker lock(&rxWaitMutex);
        answerHead = answerTail = 0;
    }
    if (port && port->isOpen())
        port->readAll();
}

// Dozes until the port's thread reports new input or ms pass. seen holds the notification count
// the caller last looked at, so a notification between that look and the wait is not missed.
void YMODEM::waitForInput(quint64* seen, int ms)
{
    QMutexLocker lock(&rxWaitMutex);
    if (rxNotifyCount == *seen)
        rxArrived.wait(&rxWaitMutex, QDeadlineTimer(ms));
    *seen = rxNotifyCount;
}

// ---- Receiver ----

YmodemReceiver::Packet YMODEM::Receive_Packet(char* buffer)
{
    YmodemLine line(*this);
    return YmodemReceiver(line).receivePacket(buffer);
}

int YMODEM::Ymodem_Receive(QString fileName)
{
    YmodemReceiver::Hooks hooks;
    if (announceReceivedFile)
        hooks.fileNamed = [this](const QString& path) { emit putUserSettingPath(path); };
    hooks.progress = [this](int percent) { emit progress(percent); };
    YmodemLine line(*this);
    YmodemReceiver receiver(line, hooks);
    const YmodemReceiver::Outcome outcome = receiver.receive(receiveFolderPath(), fileName);
    // Whatever an earlier receive left must not stand in for a file that did not come.
    userFilePath = receiver.filePath();
    userFileTruncated = receiver.truncated();
    refusedFileName = receiver.refusedName();
    return int(outcome);
}

int YMODEM::receiveBatch()
{
    {
        QMutexLocker lock(&rxMutex);
        rxCount = 0;
    }
    rxCapture = 1;
    const int result = Ymodem_Receive(QString());
    rxCapture = 0;
    return result;
}
