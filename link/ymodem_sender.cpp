// YMODEM sender of the worker (CRC-16 mode). The loader acknowledges at once; other receivers
// (the console shell, lrzsz's rz) answer later, flush their input right after they ask, and ask
// again for what they lost, so every wait below tolerates a slow peer and none waits for ever.
#include "consoletrace.h"
#include "qextserialport.h"
#include "timescale.h"
#include "ymodem.h"
#include "ymodemcode.h"

#include <QElapsedTimer>
#include <QThread>
#include <cmath>

namespace
{
const char kSOH = 0x01;
const char kSTX = 0x02;
const char kEOT = 0x04;
const char kACK = 0x06;
const char kNAK = 0x15;
const char kCAN = 0x18;
const char kCrcRequest = 'C';
const char kPad = 0x1A;

const int kHeaderDataSize = 128;
const int kSmallBlock = 128;
const int kLargeBlock = 1024;
const quint32 kMaxDataBlocks = 16384;

// The header's ACK. A loader erases its whole memory first: a large flash can take minutes.
const int kLoaderHeaderAckLimitMs = 600000;
const int kHeaderAckLimitMs = 180000; // any other receiver
const int kAskAgainAfterMs = 3000;    // a "C"/NAK this long after a block went out re-asks
// Header sent again on such a request, at most; later requests are a loader's polling while it
// erases, and the wait for the ACK goes on to its limit.
const int kMaxHeaderResends = 10;
const int kRequestAfterHeaderMs = 1000; // the receiver's "C" that follows the header's ACK
const int kBlockAnswerLimitMs = 30000;  // a data block's answer (rz re-asks after 10 s)
const int kMaxBlockResends = 10;        // one data block sent again, at most
const int kResendSettleMs = 20;         // rz empties its input just after it asks again
const int kDrainLimitMs = 2000;         // the line must fall quiet before EOT within this
const int kEotAnswerMs = 1500;          // EOT's answer: rz answers after a full second of quiet
const int kEotTries = 10;
const unsigned short kReadWait = 1000; // wait value handed to yTransmitRead
// How often the header's wait, while nothing comes, asks the port whether the line is still
// there: a pulled cable must not hold the loader's ten-minute wait.
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
quint16 YMODEM::Crc16_Compute(const unsigned char* data, int length)
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

void YMODEM::Build_Header_Block(QByteArray& out, const QFileInfo& fileInfo)
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

    out.append(kSOH);
    out.append(char(0x00));
    out.append(char(0xFF));
    out.append(data);
}

void YMODEM::Build_Data_Block(const char* blockData, QByteArray& out, quint8 blockNumber,
                              quint32 remaining)
{
    const int n = int(blockSize(remaining));
    const int d = int(qMin(remaining, quint32(n)));
    out.resize(3 + n);
    char* p = out.data();
    p[0] = n == kLargeBlock ? kSTX : kSOH;
    p[1] = char(blockNumber);
    p[2] = char(0xFF - blockNumber);
    memcpy(p + 3, blockData, size_t(d));
    memset(p + 3 + d, kPad, size_t(n - d));
}

int YMODEM::Ymodem_Transmit(const QByteArray& contents, const QFileInfo& fileInfo)
{
    return transmitFile(contents, fileInfo, true);
}

int YMODEM::Ymodem_Transmit_User_Data(const QByteArray& contents, const QFileInfo& fileInfo)
{
    return transmitFile(contents, fileInfo, false);
}

// The CRC (high byte first) after a block's data.
void YMODEM::appendCrc(QByteArray& block)
{
    const quint16 crc = Crc16_Compute(reinterpret_cast<const unsigned char*>(block.constData()) + 3,
                                      block.size() - 3);
    block.append(char(crc >> 8));
    block.append(char(crc & 0xFF));
}

quint32 YMODEM::BlockAt::length() const
{
    return qMin(remaining, blockSize(remaining));
}

bool YMODEM::BlockAt::last() const
{
    return remaining <= blockSize(remaining);
}

bool YMODEM::BlockAt::followed() const
{
    return !last() && number < kMaxDataBlocks;
}

YMODEM::BlockAt YMODEM::BlockAt::next() const
{
    BlockAt after;
    after.number = number + 1;
    after.offset = offset + length();
    after.remaining = remaining - length();
    return after;
}

// The block at its place in the file, with its CRC. Also made on the port's thread for a run.
QByteArray YMODEM::dataBlock(const QByteArray& contents, const BlockAt& at)
{
    QByteArray block;
    block.reserve(3 + kLargeBlock + 2);
    const quint32 d = at.length();
    // The file content and its QFileInfo may disagree; never read past the content.
    const quint32 available = quint32(qMax(0, contents.size() - int(at.offset)));
    if (available < d) {
        QByteArray tail = contents.mid(int(at.offset));
        tail.append(int(d - available), '\0');
        Build_Data_Block(tail.constData(), block, quint8(at.number), at.remaining);
    } else {
        Build_Data_Block(contents.constData() + at.offset, block, quint8(at.number), at.remaining);
    }
    appendCrc(block);
    return block;
}

// Writes a whole block in one write, so that a receiver that flushes its input as it answers
// loses either the whole block or none of it.
void YMODEM::writeBlock(const QByteArray& framed)
{
    if (port && port->isOpen())
        port->write(framed.constData(), framed.size());
}

void YMODEM::cancelTransfer()
{
    yTransmitWrite(kCAN);
    yTransmitWrite(kCAN);
}

int YMODEM::transmitFile(const QByteArray& contents, const QFileInfo& fileInfo, bool firmware)
{
    beginAnswerCapture();
    const int result = sendFile(contents, fileInfo, firmware);
    endAnswerCapture();
    return result;
}

int YMODEM::sendFile(const QByteArray& contents, const QFileInfo& fileInfo, bool firmware)
{
    const quint32 size = quint32(fileInfo.size());

    QByteArray header;
    Build_Header_Block(header, fileInfo);
    appendCrc(header);
    writeBlock(header);
    if (firmware)
        setStatus(tr("Memory Erase in Process..."));

    int result = awaitHeaderAck(header, firmware ? kLoaderHeaderAckLimitMs : kHeaderAckLimitMs);
    if (result == YmodemCode::Done)
        result = awaitRequestAfterHeader();
    if (result != YmodemCode::Done)
        return result;

    if (size > 0) {
        result =
            sendBlocks(contents, size,
                       firmware ? tr("File Upload in Process...") : tr("User Settings Loading..."));
        if (result != YmodemCode::Done)
            return result;
    }

    result = drainBeforeEot();
    if (result != YmodemCode::Done)
        return result;

    for (int attempt = 0; attempt < kEotTries; ++attempt) {
        yTransmitWrite(kEOT);
        QElapsedTimer waited;
        waited.start();
        char c = 0;
        int got = 0;
        while (got != 1 && waited.elapsed() < TimeScale::ms(kEotAnswerMs))
            got = yTransmitRead(c, kReadWait);
        if (got == 1 && c == kACK) {
            setStatus(firmware ? tr("File Uploaded Successfully")
                               : tr("User Settings Uploaded Successfully"));
            return YmodemCode::Done;
        }
    }
    setStatus(tr("Upload Canceled with Errors..."));
    return YmodemCode::EotUnanswered;
}

// Waits for the header's ACK. A receiver that lost the header asks again with "C" or NAK; a
// request that comes soon after the header is a stale one and is ignored. A line that is gone
// (the port reports the hang-up) ends the wait at once with the same result.
int YMODEM::awaitHeaderAck(const QByteArray& header, int limitMs)
{
    QElapsedTimer total;
    total.start();
    QElapsedTimer sinceWrite;
    sinceWrite.start();
    QElapsedTimer sinceLineCheck;
    sinceLineCheck.start();
    int resends = 0;
    for (;;) {
        if (total.elapsed() >= TimeScale::ms(limitMs)) {
            trace(
                QStringLiteral("Header not acknowledged within %1 s (asked for again %2 times)\r\n")
                    .arg(TimeScale::ms(limitMs) / 1000.0)
                    .arg(resends));
            break;
        }
        char c = 0;
        if (yTransmitRead(c, kReadWait) != 1) {
            if (sinceLineCheck.elapsed() >= kLineCheckMs) {
                sinceLineCheck.restart();
                if (lineLost()) {
                    trace(QStringLiteral("Line lost while waiting for the header's ACK (after %1 "
                                         "s)\r\n")
                              .arg(total.elapsed() / 1000.0));
                    break;
                }
            }
            continue;
        }
        if (c == kACK)
            return YmodemCode::Done;
        if ((c == kCrcRequest || c == kNAK) &&
            sinceWrite.elapsed() >= TimeScale::ms(kAskAgainAfterMs)) {
            if (resends == kMaxHeaderResends)
                continue;
            ++resends;
            QThread::msleep(kResendSettleMs);
            writeBlock(header);
            sinceWrite.restart();
        }
    }
    cancelTransfer();
    setStatus(tr("Upload Canceled with Errors..."));
    return YmodemCode::HeaderUnanswered;
}

// After the header's ACK a receiver asks for the data with "C" and may flush its input as it
// does so: block 1 goes out only after that request (or after a short wait for one).
int YMODEM::awaitRequestAfterHeader()
{
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < TimeScale::ms(kRequestAfterHeaderMs)) {
        char c = 0;
        if (yTransmitRead(c, kReadWait) != 1)
            continue;
        if (c == kCrcRequest || c == kNAK)
            return YmodemCode::Done;
        if (c == kCAN) {
            yTransmitRead(c, kReadWait);
            setStatus(tr("Upload Canceled by Remote"));
            return c == kCAN ? YmodemCode::CancelledTwice : YmodemCode::CancelledOnce;
        }
    }
    return YmodemCode::Done;
}

// Sends the data blocks, each on the ACK of the one before, and returns once the last is
// acknowledged. NAK asks for the block on the line again at once; a "C" or NAK after a long
// silence means the receiver lost it. While a run is armed the port's thread sends the blocks,
// and this thread follows its progress only when it reads; the run is stopped before this
// thread writes a block of its own, so a block never goes out after a later one.
int YMODEM::sendBlocks(const QByteArray& contents, quint32 size, const QString& status)
{
    // Progress goes to the window only when it changes: a queued signal per block would wake
    // the window's thread 16384 times for the same value. Blocks the run sent are counted here
    // one by one when this thread next looks, so no value is skipped.
    int shownPercent = -1;
    const auto show = [&](const BlockAt& block) {
        const int p = percent(block.offset + block.length(), size);
        if (p != shownPercent) {
            shownPercent = p;
            emit progress(p);
        }
    };
    BlockAt at;
    at.remaining = size;
    show(at);
    writeBlock(dataBlock(contents, at));
    setStatus(status);
    QElapsedTimer sinceWrite;
    sinceWrite.start();
    int resends = 0;
    const auto follow = [&](quint32 advanced) {
        if (advanced == 0)
            return false;
        while (advanced-- > 0) {
            at = at.next();
            show(at);
        }
        resends = 0;
        sinceWrite.restart();
        return true;
    };
    armRun(&contents, at);
    for (;;) {
        char c = 0;
        quint32 advanced = 0;
        const int got = readAnswer(c, &advanced);
        follow(advanced);

        if (sinceWrite.elapsed() >= TimeScale::ms(kBlockAnswerLimitMs)) {
            // A block the run wrote just now is a fresh one on the line.
            if (follow(stopRun())) {
                armRun(&contents, at);
                continue;
            }
            trace(QStringLiteral("Block %1: no answer within %2 s\r\n")
                      .arg(quint8(at.number))
                      .arg(TimeScale::ms(kBlockAnswerLimitMs) / 1000.0));
            cancelTransfer();
            setStatus(tr("Upload Canceled with Errors..."));
            return YmodemCode::BlockUnanswered;
        }
        if (got != 1)
            continue;
        if (c == kCAN) {
            stopRun();
            c = 0;
            yTransmitRead(c, kReadWait);
            setStatus(tr("Upload Canceled by Remote"));
            return c == kCAN ? YmodemCode::CancelledTwice : YmodemCode::CancelledOnce;
        }
        const bool acknowledged = c == kACK;
        const bool askedAgain =
            c == kNAK ||
            (c == kCrcRequest && sinceWrite.elapsed() >= TimeScale::ms(kAskAgainAfterMs));
        if (!acknowledged && !askedAgain)
            continue;
        // An ACK that came right behind this answer has had the run send the next block: this
        // answer is then about a block already through, and nothing is sent again.
        if (follow(stopRun())) {
            armRun(&contents, at);
            continue;
        }
        if (acknowledged) {
            if (at.last())
                return YmodemCode::Done;
            if (at.number == kMaxDataBlocks)
                return YmodemCode::TooManyBlocks;
            at = at.next();
            show(at);
            resends = 0;
        } else if (resends == kMaxBlockResends) {
            trace(QStringLiteral("Block %1 refused %2 times\r\n")
                      .arg(quint8(at.number))
                      .arg(resends + 1));
            cancelTransfer();
            setStatus(tr("Upload Canceled with Errors..."));
            return YmodemCode::BlockRefused;
        } else {
            ++resends;
            QThread::msleep(kResendSettleMs);
        }
        writeBlock(dataBlock(contents, at));
        sinceWrite.restart();
        armRun(&contents, at);
    }
}

// Port's thread. Answers the ACK at the head of the answers with the run's next block and makes
// the one after while the receiver checks it.
void YMODEM::sendRunBlock(QextSerialPort* p)
{
    // A receiver that empties its input right after it answers (lrzsz's rz) gets the processor
    // first where it is waiting for one, so the block comes after that flush.
    QThread::yieldCurrentThread();
    if (p->write(runNext.constData(), runNext.size()) < 0) {
        // Nothing of it went out: the ACK is left to the sender, which tells the failure.
        runContents = nullptr;
        runNext.clear();
        return;
    }
    ++answerHead;
    ++runAdvanced;
    runOnLine = runOnLine.next();
    if (runOnLine.followed()) {
        runNext = dataBlock(*runContents, runOnLine.next());
    } else {
        runContents = nullptr;
        runNext.clear();
    }
}

// Drops whatever is still arriving until the line is quiet for one poll.
int YMODEM::drainBeforeEot()
{
    QElapsedTimer waited;
    waited.start();
    char c = 0;
    while (yTransmitRead(c, kReadWait) != 0) {
        if (waited.elapsed() >= TimeScale::ms(kDrainLimitMs)) {
            trace(QStringLiteral("Line not quiet before EOT within %1 s\r\n")
                      .arg(TimeScale::ms(kDrainLimitMs) / 1000.0));
            cancelTransfer();
            setStatus(tr("Upload Canceled with Errors..."));
            return YmodemCode::LineNotQuiet;
        }
    }
    return YmodemCode::Done;
}
