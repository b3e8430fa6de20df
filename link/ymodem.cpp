// The worker object: construction, the port's life, the small slots and the byte input path.
#include "ymodem.h"

#include "consolerestarts.h"
#include "consoletrace.h"
#include "qextserialport.h"
#include "resultcodes.h"
#include "ymodembytes.h"
#include "ymodemline.h"
#include "ymodemsender.h"

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
const int kStatusIntervalMs = 20;   // how often the status line is repeated to the window
const int kReadWaitMs = 10;         // longest a one-byte read waits on a silent line
const int kPortFailureWaitMs = 200; // pause after the port could not count its bytes
const int kSettleAfterOpenMs = 100; // lets the console's side settle after the port opens
const int kRunFlagPollMs = 300;     // sleep step of initThread
const int kVerChangedDefault = 300000;
// The header's ACK. A loader erases its whole memory first: a large flash can take minutes.
const int kLoaderHeaderAckLimitMs = 600000;
const int kHeaderAckLimitMs = 180000; // any other receiver
// The baud-rate code the console link asks for. It is none of the port's codes, so the port keeps
// the line rate the system already has for the device.
const int kKeepLineRate = 0x20000;
const int kOpenMode = QIODevice::ReadWrite | QIODevice::Unbuffered; // 35
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

// The port's monitor thread. Only the buffered input is served here; the worker reads everything
// else itself, woken by the port's own wait.
void YMODEM::onReadyRead()
{
    QextSerialPort* p = port;
    if (p && rxCapture == 1)
        captureReceived(p);
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

// Dozes until the port reports new input (captured by then, with buffered input on) or ms pass.
void YMODEM::waitForInput(int ms)
{
    // Bytes the capture left in the port after an overflow make the port's wait return at once;
    // they are taken only at the next arrival, so the wait is slept instead of spun.
    const bool leftInPort = rxCapture == 1 && port && port->bytesAvailable() > 0;
    if (port && port->isOpen() && !leftInPort)
        port->waitForReadyRead(ms);
    else
        QThread::msleep(ulong(qMax(0, ms)));
}

int YMODEM::yTransmitRead(char& c, unsigned short timeout)
{
    Q_UNUSED(timeout) // every caller gets the same short wait
    if (!port) {
        QThread::msleep(kReadWaitMs);
        c = 0;
        return 0;
    }

    // Returns as soon as a byte is there rather than after a fixed sleep.
    const QDeadlineTimer deadline(kReadWaitMs, Qt::PreciseTimer);
    qint64 waiting = port->bytesAvailable();
    while (waiting == 0 && !deadline.hasExpired()) {
        if (!port->waitForReadyRead(int(deadline.remainingTime()))) {
            // A closed or vanished port answers at once: the rest of the wait is slept, so that
            // no caller's polling loop spins.
            QThread::msleep(ulong(qMax<qint64>(0, deadline.remainingTime())));
            waiting = port->bytesAvailable();
            break;
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

void YMODEM::cancelTransfer()
{
    yTransmitWrite(YmodemBytes::CAN);
    yTransmitWrite(YmodemBytes::CAN);
}

void YMODEM::yTransmitFlushInput()
{
    if (port && port->isOpen())
        port->readAll();
}

// ---- Sender ----

quint16 YMODEM::Crc16_Compute(const unsigned char* data, int length)
{
    return YmodemSender::crc16(data, length);
}

void YMODEM::Build_Header_Block(QByteArray& out, const QFileInfo& fileInfo)
{
    YmodemSender::buildHeader(out, fileInfo);
}

void YMODEM::Build_Data_Block(const char* blockData, QByteArray& out, quint8 blockNumber,
                              quint32 remaining)
{
    YmodemSender::buildData(blockData, out, blockNumber, remaining);
}

int YMODEM::Ymodem_Transmit(const QByteArray& contents, const QFileInfo& fileInfo)
{
    return transmitFile(contents, fileInfo, true);
}

int YMODEM::Ymodem_Transmit_User_Data(const QByteArray& contents, const QFileInfo& fileInfo)
{
    return transmitFile(contents, fileInfo, false);
}

// The sender's status in this worker's texts; an empty text changes nothing.
QString YMODEM::senderStatusText(int status, bool firmware)
{
    switch (YmodemSender::Status(status)) {
    case YmodemSender::Status::HeaderSent:
        return firmware ? tr("Memory Erase in Process...") : QString();
    case YmodemSender::Status::BlocksUnderWay:
        return firmware ? tr("File Upload in Process...") : tr("User Settings Loading...");
    case YmodemSender::Status::Succeeded:
        return firmware ? tr("File Uploaded Successfully")
                        : tr("User Settings Uploaded Successfully");
    case YmodemSender::Status::CancelledByRemote:
        return tr("Upload Canceled by Remote");
    case YmodemSender::Status::CancelledWithErrors:
        return tr("Upload Canceled with Errors...");
    case YmodemSender::Status::WaitingForSync:
        return tr("Waiting for Sync...");
    }
    return QString();
}

void YMODEM::attachSender(YmodemSender& sender, bool firmware)
{
    sender.onProgress = [this, firmware](int percent) {
        // The last block of the image is in: the console restarts on the EOT that follows.
        if (firmware && percent >= 100 && restarts)
            restarts->beginRestart(this);
        emit progress(percent);
    };
    sender.onStatus = [this, firmware](YmodemSender::Status status) {
        const QString text = senderStatusText(int(status), firmware);
        if (!text.isEmpty())
            setStatus(text);
    };
}

int YMODEM::transmitFile(const QByteArray& contents, const QFileInfo& fileInfo, bool firmware)
{
    YmodemLine line(*this);
    YmodemSender sender(line);
    attachSender(sender, firmware);
    return int(
        sender.send(contents, fileInfo, firmware ? kLoaderHeaderAckLimitMs : kHeaderAckLimitMs));
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
