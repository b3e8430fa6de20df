#include "transfertool.h"

#include "qextserialport.h"
#include "resultcodes.h"
#include "timescale.h"
#include "ymodem.h"
#include "ymodembytes.h"
#include "ymodemcode.h"
#include "ymodemline.h"
#include "ymodemsender.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QThread>
#include <QTimer>
#include <cstdio>

namespace
{

const int kOpenLimitMs = 10000;  // the worker's answer to the open request
const int kNextRequestMs = 5000; // the receiver's request for the next file after EOT
// ACK of the empty header. rz sometimes discards that last ACK as it leaves, so the wait is
// short: the file itself was acknowledged already.
const int kEndHeaderAckMs = 2000;
const unsigned short kSyncPollWait = 100;

void quietMessages(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    std::fprintf(stderr, "%s\n", qPrintable(text));
}
} // namespace

TransferTool::TransferTool(bool verbose, QObject* parent)
    : QObject(parent), thread(new QThread), ymodem(new YMODEM)
{
    if (!verbose) {
        // The worker's running trace goes to standard output and its debug log to standard
        // error; a technician wants only the tool's own lines.
        qInstallMessageHandler(quietMessages);
        if (!std::freopen("/dev/null", "w", stdout))
            std::fprintf(stderr, "cannot silence the trace\n");
    }
    ymodem->moveToThread(thread);
    connect(ymodem, &YMODEM::progress, this, &TransferTool::showProgress);
    thread->start();
}

TransferTool::~TransferTool()
{
    ymodem->stopThread(5000);
    delete ymodem;
    delete thread;
}

bool TransferTool::openPort(const QString& name, QString* why)
{
    QEventLoop loop;
    bool answered = false;
    PortState state = PortState::OpenFailed;
    const QMetaObject::Connection c = connect(ymodem, &YMODEM::serialConnected, &loop, [&](int s) {
        answered = true;
        state = PortState(s);
        loop.quit();
    });
    QTimer::singleShot(kOpenLimitMs, &loop, &QEventLoop::quit);
    QMetaObject::invokeMethod(ymodem, "ySerialConnect", Qt::QueuedConnection, Q_ARG(QString, name));
    loop.exec();
    disconnect(c);
    if (answered && state == PortState::Open)
        return true;
    *why = answered ? QStringLiteral("cannot open") : QStringLiteral("no answer from the port");
    return false;
}

int TransferTool::run(const std::function<int(YMODEM&)>& job)
{
    QEventLoop loop;
    YMODEM* w = ymodem;
    QMetaObject::invokeMethod(
        w,
        [w, job, &loop] {
            const int result = job(*w);
            QMetaObject::invokeMethod(
                &loop, [&loop, result] { loop.exit(result); }, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    const int result = loop.exec();
    if (lastPercent >= 0)
        std::fprintf(stderr, "\n");
    return result;
}

void TransferTool::setProgressLabel(const QString& text)
{
    label = text;
    lastPercent = -1;
}

void TransferTool::showProgress(int percent)
{
    if (percent == lastPercent)
        return;
    if (lastPercent >= 0)
        std::fprintf(stderr, "\r");
    lastPercent = percent;
    std::fprintf(stderr, "%s %3d%%", qPrintable(label), percent);
    std::fflush(stderr);
}

// The engine's own wait for the request, as the updater runs it before it sends.
int TransferTool::waitForRequest(YMODEM& w, int limitMs)
{
    YmodemLine line(w);
    YmodemSender sender(line);
    switch (sender.awaitRequest(limitMs, nullptr)) {
    case YmodemSender::Request::Cancelled:
        return CancelledAtStart;
    case YmodemSender::Request::TimedOut:
        return NoRequest;
    default:
        return Ok;
    }
}

// Ends the batch with the empty header once the receiver asks for the next file. False when
// the receiver did not acknowledge it (the file itself was already acknowledged).
bool TransferTool::endBatch(YMODEM& w)
{
    const QByteArray block = YmodemSender::endOfBatch();
    QElapsedTimer waited;
    waited.start();
    bool asked = false;
    while (!asked && waited.elapsed() < TimeScale::ms(kNextRequestMs)) {
        char c = 0;
        asked = w.yTransmitRead(c, kSyncPollWait) == 1 && (c == 'C' || c == YmodemBytes::NAK);
    }
    if (!asked)
        return false;

    QextSerialPort* port = w.serialPort();
    if (!port)
        return false;
    QThread::yieldCurrentThread(); // the receiver flushes its input right after asking
    port->write(block);
    waited.restart();
    while (waited.elapsed() < TimeScale::ms(kEndHeaderAckMs)) {
        char c = 0;
        if (w.yTransmitRead(c, kSyncPollWait) == 1 && c == YmodemBytes::ACK)
            return true;
    }
    return false;
}

QString TransferTool::meaning(int code, bool sending)
{
    switch (code) {
    case YmodemCode::Done:
        return QStringLiteral("done");
    case YmodemCode::CancelledOnce:
        return sending ? QStringLiteral("the receiver cancelled the transfer")
                       : QStringLiteral("a block came out of sequence, or the file name was "
                                        "refused, or the file was refused (larger than 64 MiB, "
                                        "more data than announced, or the transfer took over "
                                        "ten minutes), or the file could not be created");
    case YmodemCode::CancelledTwice:
        return sending ? QStringLiteral("the receiver cancelled the transfer (CAN CAN)")
                       : QStringLiteral("the file could not be written whole (disk full?)");
    case YmodemCode::Aborted:
        return QStringLiteral("the sender aborted the transfer");
    case YmodemCode::EotUnanswered:
        return QStringLiteral("the receiver did not acknowledge the end of the file");
    case YmodemCode::BlockRefused:
        return QStringLiteral("the receiver refused one block more than ten times");
    case YmodemCode::BlockUnanswered:
        return QStringLiteral("the receiver stopped answering during the file");
    case YmodemCode::HeaderUnanswered:
        return QStringLiteral("the receiver never acknowledged the file's header (or the "
                              "line went)");
    case YmodemCode::LineNotQuiet:
        return QStringLiteral("the line did not fall quiet before the end of the file");
    case YmodemCode::NoSender:
        return QStringLiteral("nothing was sent");
    case YmodemCode::BadPackets:
        return QStringLiteral("more than five damaged or unreadable packets in a row");
    case YmodemCode::TooManyBlocks:
        return QStringLiteral("the file is larger than 16 MiB");
    default:
        return QStringLiteral("unknown result");
    }
}

int TransferTool::exitStatus(int code)
{
    if (code < 0)
        return 100 - code;
    return code;
}
