#include "ymodemreceiver.h"

#include "byteline.h"
#include "consoletrace.h"
#include "timescale.h"
#include "ymodem.h"
#include "ymodembytes.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <cmath>

namespace
{
using namespace YmodemBytes;

const int kMaxNameBytes = 256;
const int kMaxSizeDigits = 16;
const int kMaxFailures = 5; // failed packets in a row once the session runs

const int kPacketWaitMs = 5000;         // one packet, or the silence that ends a session
const int kPollSliceMs = 2;             // longest doze between two looks at the capture
const int kRetryPauseMs = 3000;         // quiet after a failed packet before asking again
const int kSyncErrorPauseMs = 100;      // before cancelling on a block out of sequence
const int kEndHeaderPauseMs = 100;      // before acknowledging the batch's empty header
const int kSessionStartLimitMs = 60000; // nobody has started sending within this: give up
// A whole session, however the sender trickles: the users' database takes seconds.
const int kSessionLimitMs = 600000;

void log(const QString& text)
{
    qDebug().noquote() << text;
    ConsoleTrace::print(text + QStringLiteral("\r\n"));
}

void sleepScaled(int ms)
{
    QThread::msleep(unsigned(TimeScale::ms(ms)));
}

// Whether what is captured already makes up a whole packet; other content is taken once the
// packet wait runs out.
bool packetComplete(int count, const char firstTwo[2])
{
    if (count >= YmodemReceiver::kPacketBytes)
        return true;
    if (count < 1)
        return false;
    switch (firstTwo[0]) {
    case EOT:
    case 'A':
    case 'a':
        return true;
    case CAN:
        return count >= 2 && firstTwo[1] == CAN;
    case SOH:
        return count >= 128 + 5;
    default:
        return false;
    }
}

// The last path component of a name a sender gave; empty when nothing usable is left.
QString safeFileName(const QString& given)
{
    QString name = given;
    const int cut = qMax(name.lastIndexOf(QLatin1Char('/')), name.lastIndexOf(QLatin1Char('\\')));
    if (cut >= 0)
        name = name.mid(cut + 1);
    if (name == QLatin1String(".") || name == QLatin1String(".."))
        return QString();
    return name;
}

// A header block's name and size: the name up to its NUL, then the size's digits (the fields
// sz sends after them are not part of it).
struct Header {
    QString given;
    qint64 size = 0;
    bool sizeKnown = false;
};

Header parseHeader(const char* data, int length)
{
    Header h;
    int i = 0;
    while (i < length && i < kMaxNameBytes && data[i] != 0)
        ++i;
    h.given = QString::fromUtf8(data, i);
    ++i;
    const int digitsFrom = i;
    while (i < length && i - digitsFrom < kMaxSizeDigits && data[i] >= '0' && data[i] <= '9')
        ++i;
    if (i > digitsFrom) {
        const qint64 parsed =
            QString::fromLatin1(data + digitsFrom, i - digitsFrom).toLongLong(&h.sizeKnown);
        h.size = h.sizeKnown ? parsed : 0;
    }
    return h;
}
} // namespace

YmodemReceiver::YmodemReceiver(ByteLine& l, Hooks h) : line(l), hooks(std::move(h)) {}

YmodemReceiver::~YmodemReceiver() = default;

YmodemReceiver::Packet YmodemReceiver::receivePacket(char* buffer)
{
    QElapsedTimer waited;
    waited.start();
    const int limit = TimeScale::ms(kPacketWaitMs);
    char firstTwo[2] = {0, 0};
    for (;;) {
        if (packetComplete(line.captured(firstTwo), firstTwo))
            break;
        const qint64 left = limit - waited.elapsed();
        if (left <= 0)
            break;
        line.waitForInput(int(qMin<qint64>(left, kPollSliceMs)));
    }
    // What lies beyond the packet goes with it.
    const int count = line.takeCaptured(buffer, kPacketBytes);
    if (count == 0) {
        // A flood that overran the capture leaves its last bytes uncaptured, and nothing more
        // brings them in: that is line noise, not the end of a session.
        return {line.uncapturedInput() ? PacketKind::Bad : PacketKind::Silence, 0};
    }
    switch (buffer[0]) {
    case EOT:
        return {PacketKind::EndOfFile, 0};
    case CAN:
        return {count >= 2 && buffer[1] == CAN ? PacketKind::Cancelled : PacketKind::Bad, 0};
    case 'A':
    case 'a':
        return {PacketKind::Aborted, 0};
    case SOH:
    case STX:
        break;
    default:
        return {PacketKind::Bad, 0};
    }

    const int n = buffer[0] == SOH ? 128 : 1024;
    log(QStringLiteral("Packet Received Length %1 bytes").arg(count));
    if (count < n + 5) {
        log(QStringLiteral("Packet Received Error"));
        return {PacketKind::Bad, 0};
    }
    if (quint8(buffer[2]) != quint8(0xFF - quint8(buffer[1])))
        return {PacketKind::Bad, 0};
    // A damaged block must not reach the users' file: it is asked for again.
    const quint16 crc =
        YMODEM::Crc16_Compute(reinterpret_cast<const unsigned char*>(buffer) + 3, n);
    const quint16 sentCrc = quint16((quint8(buffer[n + 3]) << 8) | quint8(buffer[n + 4]));
    if (crc != sentCrc) {
        log(QStringLiteral("Packet CRC Error"));
        return {PacketKind::Bad, 0};
    }
    return {PacketKind::Block, n};
}

YmodemReceiver::Outcome YmodemReceiver::receive(const QString& into, const QString& only)
{
    folder = into;
    onlyName = only;
    sessionStarted = false;
    errors = 0;
    expectedBlock = 0;
    fileSize = 0;
    sizeKnown = false;
    total = 0;
    file.reset();
    path.clear();
    shortFile = false;
    refused.clear();
    log(folder);
    if (folder.isEmpty())
        return cancel(Outcome::Refused);

    char none[2];
    if (line.captured(none) > 0)
        line.takeCaptured(nullptr, 0);
    sinceStart.start();
    for (;;) {
        if (sinceStart.elapsed() >= TimeScale::ms(kSessionLimitMs))
            return refuseFile(QStringLiteral("the session did not end within %1 s")
                                  .arg(TimeScale::ms(kSessionLimitMs) / 1000.0));
        const Step end = onPacket(receivePacket(packet));
        if (end)
            return *end;
    }
}

YmodemReceiver::Step YmodemReceiver::onPacket(const Packet& p)
{
    if (p.kind == PacketKind::Bad || (p.kind == PacketKind::Silence && !sessionStarted))
        return onFailedPacket();
    errors = 0;
    switch (p.kind) {
    case PacketKind::Aborted:
        cutFile();
        log(QStringLiteral("Error: Session Closed"));
        return cancel(Outcome::Aborted);
    case PacketKind::Cancelled:
        line.writeByte(ACK);
        cutFile();
        return Outcome::Done;
    case PacketKind::Silence:
        line.writeByte(ACK);
        return sessionDone();
    case PacketKind::EndOfFile:
        // The file is complete; the next header (or the empty one) follows.
        finishFile();
        expectedBlock = 0;
        line.write(QByteArray(1, ACK) + CrcRequest);
        return std::nullopt;
    default:
        return onBlock(p.length);
    }
}

// After a failed packet and the pause that follows, nothing captured or waiting belongs to
// the packet about to be asked for.
YmodemReceiver::Step YmodemReceiver::onFailedPacket()
{
    if (sessionStarted && ++errors > kMaxFailures) {
        cutFile();
        log(QStringLiteral("Error: Session Closed with Errors"));
        return cancel(Outcome::BadPackets);
    }
    if (!sessionStarted && sinceStart.elapsed() >= TimeScale::ms(kSessionStartLimitMs)) {
        log(QStringLiteral("Error: nothing received within %1 s")
                .arg(TimeScale::ms(kSessionStartLimitMs) / 1000.0));
        return cancel(Outcome::NoSender);
    }
    sleepScaled(kRetryPauseMs);
    line.flushInput();
    line.writeByte(CrcRequest);
    return std::nullopt;
}

YmodemReceiver::Step YmodemReceiver::onBlock(int length)
{
    if (quint8(packet[1]) != quint8(expectedBlock & 0xFF)) {
        log(QStringLiteral("Sync Error"));
        sleepScaled(kSyncErrorPauseMs);
        finishFile();
        return cancel(Outcome::Refused);
    }
    const Step end = expectedBlock == 0 ? onHeader(length) : onData(length);
    if (end)
        return end;
    sessionStarted = true;
    ++expectedBlock;
    return std::nullopt;
}

YmodemReceiver::Step YmodemReceiver::onHeader(int length)
{
    const char* data = packet + 3;
    if (data[0] == 0) {
        log(QStringLiteral("File Header %1").arg(int(data[0])));
        sleepScaled(kEndHeaderPauseMs);
        line.writeByte(ACK);
        return sessionDone();
    }
    const Header header = parseHeader(data, length);
    fileSize = header.size;
    sizeKnown = header.sizeKnown;
    finishFile();
    total = 0;
    const QString name = safeFileName(header.given);
    if (name.isEmpty()) {
        log(QStringLiteral("File Name Refused: %1").arg(header.given));
        return cancel(Outcome::Refused);
    }
    if (!onlyName.isEmpty() && name != onlyName) {
        refused = name;
        log(QStringLiteral("File Name Refused: \"%1\", not the \"%2\" asked for")
                .arg(header.given, onlyName));
        return cancel(Outcome::Refused);
    }
    if (fileSize > kMaxFileBytes)
        return refuseFile(QStringLiteral("%1 announced with %2 bytes, more than %3")
                              .arg(name)
                              .arg(fileSize)
                              .arg(kMaxFileBytes));
    if (!openFile(name))
        return cancel(Outcome::Refused);
    line.write(QByteArray(1, ACK) + CrcRequest);
    return std::nullopt;
}

bool YmodemReceiver::openFile(const QString& name)
{
    path = folder + QLatin1Char('/') + name;
    if (hooks.fileNamed)
        hooks.fileNamed(path);
    log(QStringLiteral("%1 size %2 bytes").arg(path).arg(fileSize));
    file.reset(new QFile(path));
    // Owner-only before the first byte goes in: the users' data are personal.
    if (file->open(QIODevice::WriteOnly | QIODevice::Unbuffered) &&
        file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner))
        return true;
    file.reset();
    log(QStringLiteral("Open File Error"));
    return false;
}

YmodemReceiver::Step YmodemReceiver::onData(int length)
{
    // The padding of the last block is not part of the file when the header gave its size; a
    // block beyond that size, or beyond the cap, is not part of any file.
    if (sizeKnown && total >= fileSize)
        return refuseFile(QStringLiteral("data beyond the %1 bytes announced").arg(fileSize));
    if (!sizeKnown && total + length > kMaxFileBytes)
        return refuseFile(QStringLiteral("more than %1 bytes without a size").arg(kMaxFileBytes));
    const qint64 keep = sizeKnown ? qBound<qint64>(0, fileSize - total, length) : length;
    const qint64 written = file && keep > 0 ? file->write(packet + 3, keep) : 0;
    if (written != keep) {
        finishFile();
        log(QStringLiteral("Error: End Session"));
        return cancel(Outcome::WriteFailed);
    }
    total += written;
    int percent = 0;
    if (sizeKnown)
        percent =
            fileSize > 0 ? int(std::floor(float(double(total) / double(fileSize) * 100.0))) : 100;
    if (hooks.progress)
        hooks.progress(percent);
    line.writeByte(ACK);
    return std::nullopt;
}

// Closes the file in hand; a file that ended short of its header's size marks the receive.
void YmodemReceiver::finishFile()
{
    if (!file)
        return;
    file->close();
    file.reset();
    if (sizeKnown && total < fileSize)
        shortFile = true;
}

// The session ends inside a file: without a size from its header, what came cannot be told
// from the whole file.
void YmodemReceiver::cutFile()
{
    if (file && !sizeKnown)
        shortFile = true;
    finishFile();
}

// A file that must not be kept: what was written of it goes, and the sender is cancelled.
YmodemReceiver::Outcome YmodemReceiver::refuseFile(const QString& why)
{
    log(QStringLiteral("File Refused: %1").arg(why));
    if (file) {
        file->close();
        file->remove();
        file.reset();
        path.clear();
    }
    return cancel(Outcome::Refused);
}

YmodemReceiver::Outcome YmodemReceiver::cancel(Outcome outcome)
{
    line.write(QByteArray(2, CAN));
    return outcome;
}

YmodemReceiver::Outcome YmodemReceiver::sessionDone()
{
    finishFile();
    log(QStringLiteral("Session Done"));
    return Outcome::Done;
}
