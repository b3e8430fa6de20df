// The loader acknowledges at once; other receivers (the console shell, lrzsz's rz) answer later,
// empty their input right after they answer, and ask again for what they lost, so every wait
// below tolerates a slow peer and none waits for ever.
#include "ymodemsender.h"

#include "byteline.h"
#include "consoletrace.h"
#include "timescale.h"
#include "ymodembytes.h"

#include <QDebug>
#include <QFileInfo>
#include <QThread>
#include <cmath>
#include <cstring>

namespace
{
using namespace YmodemBytes;

const int kHeaderDataSize = 128;
const int kSmallBlock = 128;
const int kLargeBlock = 1024;
const quint32 kMaxDataBlocks = 16384;

// rz asks for block 1 with "C" right after the header's ACK and empties its input as it does:
// block 1 goes out after that request, or after this long without one.
const int kRequestAfterHeaderMs = 1000;
const int kBlockAnswerLimitMs = 30000; // a data block's answer (rz asks again within 13 s)
const int kAskAgainAfterMs = 3000;     // a "C" this long after a block asks for it again
const int kMaxBlockResends = 10;       // one data block sent again, at most
const int kDrainLimitMs = 2000;        // the line must fall quiet before EOT within this
const int kEotAnswerMs = 1500;         // EOT's answer: rz answers after a full second of quiet
const int kEotTries = 10;
const int kSyncPasses = 10; // other bytes in a row that end the wait for a request
// How often the header's wait, while nothing comes, asks whether the line is still there: a
// pulled cable must not hold the loader's ten-minute wait.
const int kLineCheckMs = 250;

void trace(const QString& text)
{
    ConsoleTrace::print(text);
}

// 1 KiB blocks while at least that much is left, 128-byte blocks for the tail.
quint32 blockSize(quint32 remaining)
{
    return remaining >= quint32(kLargeBlock) ? kLargeBlock : kSmallBlock;
}

int percent(quint32 done, quint32 size)
{
    const float quotient = float(done) / float(size);
    const float product = quotient * 100.0f;
    return int(std::floor(product));
}
} // namespace

// The bit loop folded into a few shifts per byte (no table either): the eight steps per byte
// cost the sender's processor time that the receiver and the line's relay want on a busy machine.
quint16 YmodemSender::crc16(const unsigned char* data, int length)
{
    quint16 crc = 0;
    for (int i = 0; i < length; ++i) {
        crc = quint16((crc >> 8) | (crc << 8));
        crc ^= data[i];
        crc ^= quint16((crc & 0xFF) >> 4);
        crc ^= quint16(crc << 12);
        crc ^= quint16((crc & 0xFF) << 5);
    }
    return crc;
}

void YmodemSender::buildHeader(QByteArray& out, const QFileInfo& fileInfo)
{
    const QByteArray digits = QByteArray::number(quint32(fileInfo.size()));
    QByteArray name = fileInfo.fileName().toUtf8();
    // A name too long for the block is shortened (never inside a UTF-8 sequence) so that the
    // size still travels whole.
    const int room = kHeaderDataSize - 1 - digits.size();
    if (name.size() > room) {
        int cut = room;
        while (cut > 0 && (quint8(name.at(cut)) & 0xC0) == 0x80)
            --cut;
        name.truncate(cut);
    }

    QByteArray data = name;
    data.append('\0');
    data.append(digits);
    data.append(kHeaderDataSize - data.size(), '\0');

    out.append(SOH);
    out.append(char(0x00));
    out.append(char(0xFF));
    out.append(data);
}

void YmodemSender::buildData(const char* blockData, QByteArray& out, quint8 blockNumber,
                             quint32 remaining)
{
    const int n = int(blockSize(remaining));
    const int d = int(qMin(remaining, quint32(n)));
    out.resize(3 + n);
    char* p = out.data();
    p[0] = n == kLargeBlock ? STX : SOH;
    p[1] = char(blockNumber);
    p[2] = char(0xFF - blockNumber);
    memcpy(p + 3, blockData, size_t(d));
    memset(p + 3 + d, Pad, size_t(n - d));
}

QByteArray YmodemSender::endOfBatch()
{
    QByteArray block(3 + kHeaderDataSize, '\0');
    block[0] = SOH;
    block[2] = char(0xFF);
    appendCrc(block);
    return block;
}

// The CRC (high byte first) after a block's data.
void YmodemSender::appendCrc(QByteArray& block)
{
    const quint16 crc =
        crc16(reinterpret_cast<const unsigned char*>(block.constData()) + 3, block.size() - 3);
    block.append(char(crc >> 8));
    block.append(char(crc & 0xFF));
}

quint32 YmodemSender::BlockAt::length() const
{
    return qMin(remaining, blockSize(remaining));
}

bool YmodemSender::BlockAt::last() const
{
    return remaining <= blockSize(remaining);
}

YmodemSender::BlockAt YmodemSender::BlockAt::next() const
{
    BlockAt after;
    after.number = number + 1;
    after.offset = offset + length();
    after.remaining = remaining - length();
    return after;
}

// The block at its place in the file, with its CRC, made in out's own storage.
void YmodemSender::makeBlock(QByteArray& out, const QByteArray& contents, const BlockAt& at)
{
    out.reserve(3 + kLargeBlock + 2);
    const quint32 d = at.length();
    // The file content and its QFileInfo may disagree; never read past the content.
    const quint32 available = quint32(qMax(0, contents.size() - int(at.offset)));
    if (available < d) {
        QByteArray tail = contents.mid(int(at.offset));
        tail.append(int(d - available), '\0');
        buildData(tail.constData(), out, quint8(at.number), at.remaining);
    } else {
        buildData(contents.constData() + at.offset, out, quint8(at.number), at.remaining);
    }
    appendCrc(out);
}

void YmodemSender::report(Status status)
{
    if (onStatus)
        onStatus(status);
}

void YmodemSender::cancelTransfer()
{
    line.writeByte(CAN);
    line.writeByte(CAN);
}

YmodemSender::Outcome YmodemSender::failWithErrors(Outcome outcome)
{
    cancelTransfer();
    report(Status::CancelledWithErrors);
    return outcome;
}

YmodemSender::Outcome YmodemSender::send(const QByteArray& contents, const QFileInfo& fileInfo,
                                         int headerAckLimitMs)
{
    const quint32 size = quint32(fileInfo.size());
    QByteArray header;
    buildHeader(header, fileInfo);
    appendCrc(header);
    line.write(header);
    report(Status::HeaderSent);

    Outcome result = awaitHeaderAck(headerAckLimitMs);
    if (result == Outcome::Done)
        result = awaitRequestAfterHeader();
    if (result == Outcome::Done && size > 0)
        result = sendBlocks(contents, size);
    if (result == Outcome::Done)
        result = drainBeforeEot();
    if (result == Outcome::Done)
        result = endFile();
    return result;
}

// Every byte but ACK is ignored: a loader polls "C" while it erases, and the header it already
// took must not be queued again. A line that is gone ends the wait at once.
YmodemSender::Outcome YmodemSender::awaitHeaderAck(int limitMs)
{
    const qint64 start = now();
    qint64 lineChecked = start;
    for (;;) {
        if (now() - start >= TimeScale::ms(limitMs)) {
            trace(QStringLiteral("Header not acknowledged within %1 s\r\n")
                      .arg(TimeScale::ms(limitMs) / 1000.0));
            break;
        }
        char c = 0;
        const int got = line.readByte(c);
        if (got == 1 && c == ACK)
            return Outcome::Done;
        if (got == 1 || now() - lineChecked < kLineCheckMs)
            continue;
        lineChecked = now();
        if (line.lost()) {
            trace(QStringLiteral("Line lost while waiting for the header's ACK (after %1 s)\r\n")
                      .arg((now() - start) / 1000.0));
            break;
        }
    }
    return failWithErrors(Outcome::HeaderUnanswered);
}

YmodemSender::Outcome YmodemSender::awaitRequestAfterHeader()
{
    const qint64 start = now();
    while (now() - start < TimeScale::ms(kRequestAfterHeaderMs)) {
        char c = 0;
        if (line.readByte(c) != 1)
            continue;
        if (c == CrcRequest || c == NAK)
            return Outcome::Done;
        if (c == CAN) {
            c = 0;
            line.readByte(c);
            return cancelledByRemote(c == CAN ? Answer::CancelledTwice : Answer::CancelledOnce);
        }
    }
    return Outcome::Done;
}

YmodemSender::Outcome YmodemSender::cancelledByRemote(Answer answer)
{
    report(Status::CancelledByRemote);
    return answer == Answer::CancelledTwice ? Outcome::CancelledTwice : Outcome::CancelledOnce;
}

// Each block goes out whole in one write, on the ACK of the one before; the next is made while
// the receiver checks the one on the line.
YmodemSender::Outcome YmodemSender::sendBlocks(const QByteArray& contents, quint32 size)
{
    BlockAt at;
    at.remaining = size;
    QByteArray onLine;
    QByteArray next;
    makeBlock(onLine, contents, at);
    // Progress only when it changes: a queued signal per block would wake the window's thread
    // 16384 times for the same value.
    int shown = -1;
    int resends = 0;
    for (bool first = true;; first = false) {
        const int p = percent(at.offset + at.length(), size);
        if (p != shown && onProgress)
            onProgress(shown = p);
        line.write(onLine);
        const qint64 writtenAt = now();
        if (first)
            report(Status::BlocksUnderWay);
        const bool followed = !at.last() && at.number < kMaxDataBlocks;
        if (followed && resends == 0)
            makeBlock(next, contents, at.next());
        const Answer answer = awaitAnswer(writtenAt);
        if (answer == Answer::Silent) {
            trace(QStringLiteral("Block %1: no answer within %2 s\r\n")
                      .arg(quint8(at.number))
                      .arg(TimeScale::ms(kBlockAnswerLimitMs) / 1000.0));
            return failWithErrors(Outcome::BlockUnanswered);
        }
        if (answer == Answer::CancelledOnce || answer == Answer::CancelledTwice)
            return cancelledByRemote(answer);
        if (answer == Answer::AskedAgain && resends == kMaxBlockResends) {
            trace(QStringLiteral("Block %1 refused %2 times\r\n")
                      .arg(quint8(at.number))
                      .arg(resends + 1));
            return failWithErrors(Outcome::BlockRefused);
        }
        if (answer == Answer::AskedAgain) {
            ++resends;
        } else if (at.last()) {
            return Outcome::Done;
        } else if (!followed) {
            return Outcome::TooManyBlocks;
        } else {
            at = at.next();
            onLine.swap(next);
            resends = 0;
        }
        // Whatever is still unread came before the block about to go out, so it answers none
        // of it (a second ACK taken for it would skip a block the receiver never saw).
        line.flushInput();
        // rz empties its input right after it answers: let it run first on a busy processor.
        QThread::yieldCurrentThread();
    }
}

// NAK asks for the block again at once; "C" only after a long silence (rz asks for a lost first
// block with it; one that comes sooner is the stale request after the header).
YmodemSender::Answer YmodemSender::awaitAnswer(qint64 writtenAt)
{
    for (;;) {
        const qint64 since = now() - writtenAt;
        if (since >= TimeScale::ms(kBlockAnswerLimitMs))
            return Answer::Silent;
        char c = 0;
        if (line.readByte(c) != 1)
            continue;
        if (c == ACK)
            return Answer::Ack;
        if (c == NAK || (c == CrcRequest && since >= TimeScale::ms(kAskAgainAfterMs)))
            return Answer::AskedAgain;
        if (c == CAN) {
            c = 0;
            line.readByte(c);
            return c == CAN ? Answer::CancelledTwice : Answer::CancelledOnce;
        }
    }
}

// Drops whatever is still arriving until the line is quiet for one poll.
YmodemSender::Outcome YmodemSender::drainBeforeEot()
{
    const qint64 start = now();
    char c = 0;
    while (line.readByte(c) != 0) {
        if (now() - start >= TimeScale::ms(kDrainLimitMs)) {
            trace(QStringLiteral("Line not quiet before EOT within %1 s\r\n")
                      .arg(TimeScale::ms(kDrainLimitMs) / 1000.0));
            return failWithErrors(Outcome::LineNotQuiet);
        }
    }
    return Outcome::Done;
}

YmodemSender::Outcome YmodemSender::endFile()
{
    for (int attempt = 0; attempt < kEotTries; ++attempt) {
        line.writeByte(EOT);
        const qint64 sent = now();
        char c = 0;
        int got = 0;
        while (got != 1 && now() - sent < TimeScale::ms(kEotAnswerMs))
            got = line.readByte(c);
        if (got == 1 && c == ACK) {
            report(Status::Succeeded);
            return Outcome::Done;
        }
    }
    report(Status::CancelledWithErrors);
    return Outcome::EotUnanswered;
}

YmodemSender::Request YmodemSender::awaitRequest(int limitMs, const std::function<bool()>& stop)
{
    const qint64 start = now();
    int passes = 0;
    for (;;) {
        if (stop && stop())
            return Request::Stopped;
        if (now() - start >= limitMs) {
            trace(
                QStringLiteral("No request from the Device within %1 s\r\n").arg(limitMs / 1000.0));
            return Request::TimedOut;
        }
        char c = 0;
        if (line.readByte(c) < 0)
            break;
        Request result = Request::Ready;
        if (!takeSyncByte(c, &passes, &result))
            continue;
        if (result != Request::ReadFailed)
            return result;
        break;
    }
    trace(QStringLiteral("Serial port read error while waiting for the Device's request\r\n"));
    return Request::ReadFailed;
}

bool YmodemSender::takeSyncByte(char c, int* passes, Request* result)
{
    switch (c) {
    case 0:
        qDebug() << "XYMODEM::yTransmit - Waiting Connect...";
        trace(QStringLiteral("XYMODEM::yTransmit - Waiting Connect...\r\n"));
        report(Status::WaitingForSync);
        *passes = 0;
        return false;
    case CAN: {
        const int next = line.readByte(c);
        if (next < 0) {
            *result = Request::ReadFailed;
            return true;
        }
        if (next > 0 && c == CAN) {
            line.writeByte(ACK);
            line.flushInput();
            qDebug() << "XMODEM::yTransmit - canceled by remote";
            trace(QStringLiteral("XMODEM::yTransmit - canceled by remote\r\n"));
            report(Status::CancelledByRemote);
            *result = Request::Cancelled;
            return true;
        }
        break;
    }
    case 'c':
        qDebug() << "c";
        trace(QStringLiteral("c\r\n"));
        Q_FALLTHROUGH();
    case CrcRequest:
        qDebug() << "C";
        trace(QStringLiteral("C\r\n"));
        Q_FALLTHROUGH();
    case NAK:
        qDebug() << "NAK";
        trace(QStringLiteral("NAK\r\n"));
        return true;
    default:
        qDebug() << "XYMODEM::yTransmit - Unknown : " << c;
        trace(
            QStringLiteral("XMODEM::yTransmit - Unknown, %1\r\n").arg(QString::fromLatin1(&c, 1)));
        break;
    }
    return ++*passes >= kSyncPasses;
}
