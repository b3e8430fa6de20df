#include "simymodem.h"

#include "simpty.h"

#include <QElapsedTimer>

namespace
{
constexpr char SOH = 0x01;
constexpr char STX = 0x02;
constexpr char EOT = 0x04;
constexpr char ACK = 0x06;
constexpr char NAK = 0x15;
constexpr char CAN = 0x18;
constexpr char CRC_REQUEST = 'C';
constexpr char PAD = 0x1A;
// Answer that a corrupted reply puts where the ACK belongs.
constexpr char WRONG_ANSWER = 0x5A;

// Bounds of the console's side; generous, since the updater's own receiver takes an EOT only
// after about 5 s and asks again after a bad block only after about 8 s.
constexpr int AnswerWaitMs = 15000;   // answer to a header, block or EOT
constexpr int StartWaitMs = 60000;    // the receiver's first "C"
constexpr int BlockOneWaitMs = 10000; // the "C" that follows the header's ACK
constexpr int CloseWaitMs = 5000;     // the "C" that asks for the closing header
constexpr int LastAckWaitMs = 1000;   // its ACK, which rz may lose as it exits
constexpr int ByteWaitMs = 1000;      // between two bytes of one block
constexpr int PacketWaitMs = 15000;   // next block while a file is being received
constexpr int PurgeQuietMs = 100;     // quiet that marks the end of a broken block
constexpr int MaxRetries = 10;
// rz empties its input right after every "C", ACK or NAK it writes: give it a moment before
// answering one, or on a busy machine the answer can land before that flush and be lost.
constexpr int RequestSettleMs = 20;
} // namespace

SimYmodem::SimYmodem(SimPty& l) : line(l) {}

quint16 SimYmodem::crc16(const char* data, int length)
{
    quint16 crc = 0;
    for (int i = 0; i < length; ++i) {
        crc ^= quint16(quint8(data[i])) << 8;
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? quint16((crc << 1) ^ 0x1021) : quint16(crc << 1);
    }
    return crc;
}

QByteArray SimYmodem::block(int number, const QByteArray& payload, int size, bool badCrc) const
{
    QByteArray b;
    b.reserve(size + 5);
    b.append(size == 1024 ? STX : SOH);
    b.append(char(number & 0xFF));
    b.append(char(0xFF - (number & 0xFF)));
    QByteArray data = payload.left(size);
    data.append(QByteArray(size - data.size(), number == 0 ? '\0' : PAD));
    b.append(data);
    quint16 crc = crc16(data.constData(), data.size());
    if (badCrc)
        crc ^= 0x0101;
    b.append(char(crc >> 8));
    b.append(char(crc & 0xFF));
    return b;
}

void SimYmodem::cancel()
{
    line.write(QByteArray(2, CAN));
}

SimYmodem::Answer SimYmodem::waitAnswer(int timeoutMs, char* other)
{
    QElapsedTimer t;
    t.start();
    for (;;) {
        const int left = timeoutMs - int(t.elapsed());
        if (left <= 0)
            return Answer::Timeout;
        const int c = line.readByte(left);
        if (c == SimPty::Closed)
            return Answer::Closed;
        if (c == SimPty::Timeout)
            return Answer::Timeout;
        switch (char(c)) {
        case ACK:
            return Answer::Ack;
        case NAK:
            return Answer::Nak;
        case CRC_REQUEST:
            return Answer::RequestC;
        case CAN: {
            const int next = line.readByte(ByteWaitMs);
            if (next == CAN)
                return Answer::Cancel;
            if (next >= 0)
                line.unread(QByteArray(1, char(next)));
            break; // a lone CAN is line noise
        }
        default:
            if (other) {
                *other = char(c);
                return Answer::Other;
            }
            break;
        }
    }
}

bool SimYmodem::waitForRequest(int timeoutMs, QString* detail, Outcome* outcome)
{
    for (;;) {
        switch (waitAnswer(timeoutMs)) {
        case Answer::RequestC:
        case Answer::Nak:
            return true;
        case Answer::Cancel:
            *detail = QStringLiteral("cancelled by the receiver before the header");
            *outcome = Outcome::PeerCancelled;
            return false;
        case Answer::Closed:
            *detail = QStringLiteral("line closed while waiting for the receiver");
            *outcome = Outcome::Stopped;
            return false;
        case Answer::Timeout:
            *detail = QStringLiteral("no receiver asked within %1 s").arg(timeoutMs / 1000);
            *outcome = Outcome::Failed;
            return false;
        default:
            break; // a stray ACK
        }
    }
}

SimYmodem::Outcome SimYmodem::refuse(QString* detail)
{
    Outcome outcome = Outcome::Failed;
    if (!waitForRequest(StartWaitMs, detail, &outcome))
        return outcome;
    cancel();
    *detail = QStringLiteral("nothing to send: cancelled");
    return Outcome::WeCancelled;
}

SimYmodem::Outcome SimYmodem::send(const QString& name, const QByteArray& data, QString* detail)
{
    QString scratch;
    if (!detail)
        detail = &scratch;
    Outcome outcome = Outcome::Failed;
    if (!waitForRequest(StartWaitMs, detail, &outcome))
        return outcome;

    bool corruptPending = faults.corruptBlock >= 0;
    bool repeatPending = faults.nakBlock >= 0;

    // Sends block `number` until it is acknowledged; false with outcome set otherwise.
    auto deliver = [&](int number, const QByteArray& payload, int size) -> bool {
        const QString stepName =
            number == 0 ? QStringLiteral("header") : QStringLiteral("block:%1").arg(number);
        if (!step(stepName)) {
            *detail = QStringLiteral("stopped at %1").arg(stepName);
            outcome = Outcome::Stopped;
            return false;
        }
        if (faults.cancelBlock == number) {
            cancel();
            *detail = QStringLiteral("cancelled at block %1 as asked").arg(number);
            outcome = Outcome::WeCancelled;
            return false;
        }
        int sends = 0;
        for (;;) {
            const bool bad = corruptPending && faults.corruptBlock == number;
            if (bad)
                corruptPending = false;
            if (++sends > MaxRetries + 1) {
                cancel();
                *detail = QStringLiteral("block %1 not acknowledged after %2 tries")
                              .arg(number)
                              .arg(MaxRetries);
                outcome = Outcome::Failed;
                return false;
            }
            if (!line.sleep(RequestSettleMs) || !line.write(block(number, payload, size, bad))) {
                *detail = QStringLiteral("line closed while sending block %1").arg(number);
                outcome = Outcome::Stopped;
                return false;
            }
            const Answer a = waitAnswer(AnswerWaitMs);
            if (a == Answer::Ack) {
                if (repeatPending && faults.nakBlock == number) {
                    // As if the ACK had been lost: the same block goes out once more.
                    repeatPending = false;
                    continue;
                }
                return true;
            }
            if (a == Answer::Cancel) {
                *detail = QStringLiteral("cancelled by the receiver at block %1").arg(number);
                outcome = Outcome::PeerCancelled;
                return false;
            }
            if (a == Answer::Closed) {
                *detail = QStringLiteral("line closed at block %1").arg(number);
                outcome = Outcome::Stopped;
                return false;
            }
            // NAK, "C" or silence: the block goes out again.
        }
    };

    const QString baseName = name.mid(name.lastIndexOf(QLatin1Char('/')) + 1);
    QByteArray header = baseName.toUtf8();
    header.append('\0');
    header.append(QByteArray::number(data.size()));
    if (!deliver(0, header, header.size() > 128 ? 1024 : 128))
        return outcome;

    // The receiver asks for block 1 (or takes the EOT of an empty file) with "C" and may drop
    // what came before it.
    {
        const Answer a = waitAnswer(BlockOneWaitMs);
        if (a == Answer::Cancel) {
            *detail = QStringLiteral("cancelled by the receiver after the header");
            return Outcome::PeerCancelled;
        }
        if (a == Answer::Closed) {
            *detail = QStringLiteral("line closed after the header");
            return Outcome::Stopped;
        }
    }

    int number = 1;
    for (int offset = 0; offset < data.size(); ++number) {
        const int remaining = data.size() - offset;
        const int size = remaining >= 1024 ? 1024 : 128;
        if (!deliver(number, data.mid(offset, size), size))
            return outcome;
        offset += qMin(size, remaining);
    }

    if (!step(QStringLiteral("eot"))) {
        *detail = QStringLiteral("stopped at eot");
        return Outcome::Stopped;
    }
    bool acked = false;
    for (int tries = 0; tries < MaxRetries && !acked; ++tries) {
        if (!line.write(QByteArray(1, EOT)))
            break;
        const Answer a = waitAnswer(AnswerWaitMs);
        if (a == Answer::Ack)
            acked = true;
        else if (a == Answer::Cancel || a == Answer::Closed)
            break;
    }
    if (!acked) {
        *detail = QStringLiteral("EOT not acknowledged");
        return Outcome::Failed;
    }

    // Close the batch when the receiver asks for the next file; a receiver that does not ask
    // (the updater's own) has ended the session already.
    char other = 0;
    const Answer ask = waitAnswer(CloseWaitMs, &other);
    if (ask == Answer::RequestC || ask == Answer::Nak) {
        line.sleep(RequestSettleMs);
        line.write(block(0, QByteArray(), 128, false));
        const Answer last = waitAnswer(LastAckWaitMs, &other);
        if (last == Answer::Other)
            line.unread(QByteArray(1, other));
        *detail = last == Answer::Ack ? QStringLiteral("batch closed")
                                      : QStringLiteral("closing header not acknowledged");
    } else {
        if (ask == Answer::Other)
            line.unread(QByteArray(1, other));
        *detail = QStringLiteral("closing header not asked for");
    }
    *detail = QStringLiteral("sent %1 (%2 bytes), %3").arg(baseName).arg(data.size()).arg(*detail);
    return Outcome::Done;
}

bool SimYmodem::delayHeaderAck(const ReceiveSetup& setup)
{
    QElapsedTimer erasing;
    erasing.start();
    for (;;) {
        const qint64 left = setup.headerAckDelayMs - erasing.elapsed();
        if (left <= 0)
            return true;
        const int slice =
            setup.pollDuringHeaderDelay ? int(qMin<qint64>(left, setup.pollMs)) : int(left);
        if (!line.sleep(slice))
            return false;
        if (setup.pollDuringHeaderDelay && erasing.elapsed() < setup.headerAckDelayMs &&
            !line.write(QByteArray(1, CRC_REQUEST)))
            return false;
    }
}

SimYmodem::Outcome SimYmodem::receive(const ReceiveSetup& setup, QList<File>* files,
                                      QString* detail)
{
    QString scratch;
    if (!detail)
        detail = &scratch;

    QElapsedTimer sinceStart;
    sinceStart.start();
    bool inFile = false;   // a header was accepted and its EOT has not come yet
    bool afterEot = false; // waiting for the next header of the batch
    int expected = 0;
    int retries = 0;
    bool nakPending = faults.nakBlock >= 0;
    bool corruptPending = faults.corruptBlock >= 0;
    char request = CRC_REQUEST;
    bool sendRequest = true;
    File current;
    QByteArray text; // bytes of a command line before the transfer starts

    auto fail = [&](const QString& why) {
        cancel();
        *detail = why;
        return Outcome::Failed;
    };
    auto purge = [&] { line.drain(PurgeQuietMs, 2000); };

    for (;;) {
        if (sendRequest) {
            if (!line.write(QByteArray(1, request))) {
                *detail = QStringLiteral("line closed");
                return Outcome::Stopped;
            }
            sendRequest = false;
        }
        const bool idle = !inFile && !afterEot;
        const int wait = idle ? setup.pollMs : (afterEot ? setup.endWaitMs : PacketWaitMs);
        const int c = line.readByte(wait);
        if (c == SimPty::Closed) {
            *detail = QStringLiteral("line closed");
            return Outcome::Stopped;
        }
        if (c == SimPty::Timeout) {
            if (idle) {
                if (setup.giveUpMs >= 0 && sinceStart.elapsed() > setup.giveUpMs) {
                    *detail = QStringLiteral("no sender within %1 s").arg(setup.giveUpMs / 1000);
                    return Outcome::Failed;
                }
                request = CRC_REQUEST;
                sendRequest = true;
                continue;
            }
            if (afterEot) {
                *detail = QStringLiteral("batch ended without a closing header");
                return Outcome::Done;
            }
            if (++retries > MaxRetries)
                return fail(QStringLiteral("no block %1 within the bound").arg(expected));
            request = expected == 0 ? CRC_REQUEST : NAK;
            sendRequest = true;
            continue;
        }

        const char first = char(c);
        if (first == SOH || first == STX) {
            const int size = first == SOH ? 128 : 1024;
            QByteArray rest;
            bool shortBlock = false;
            while (rest.size() < size + 4) {
                const int b = line.readByte(ByteWaitMs);
                if (b == SimPty::Closed) {
                    *detail = QStringLiteral("line closed inside a block");
                    return Outcome::Stopped;
                }
                if (b < 0) {
                    shortBlock = true;
                    break;
                }
                rest.append(char(b));
            }
            const int number = rest.isEmpty() ? -1 : quint8(rest[0]);
            const bool framed = !shortBlock && quint8(rest[1]) == 0xFF - number;
            const QByteArray data = rest.mid(2, size);
            const bool crcOk =
                framed && crc16(data.constData(), size) ==
                              quint16((quint8(rest[size + 2]) << 8) | quint8(rest[size + 3]));
            if (!crcOk) {
                purge();
                if (++retries > MaxRetries)
                    return fail(QStringLiteral("too many bad blocks"));
                request = expected == 0 ? CRC_REQUEST : NAK;
                sendRequest = true;
                continue;
            }
            const int expectedNumber = expected & 0xFF;
            if (number != expectedNumber) {
                if (number == ((expected - 1) & 0xFF) && expected > 0) {
                    // A repeat after a lost ACK: answer again, keep nothing.
                    line.write(QByteArray(1, ACK));
                    if (expected == 1)
                        line.write(QByteArray(1, CRC_REQUEST));
                    continue;
                }
                return fail(QStringLiteral("block %1 out of sequence (expected %2)")
                                .arg(number)
                                .arg(expectedNumber));
            }
            const QString stepName =
                expected == 0 ? QStringLiteral("header") : QStringLiteral("block:%1").arg(expected);
            if (!step(stepName)) {
                *detail = QStringLiteral("stopped at %1").arg(stepName);
                return Outcome::Stopped;
            }
            if (faults.cancelBlock == expected) {
                cancel();
                *detail = QStringLiteral("cancelled at block %1 as asked").arg(expected);
                return Outcome::WeCancelled;
            }
            if (nakPending && faults.nakBlock == expected) {
                nakPending = false;
                line.write(QByteArray(1, expected == 0 ? CRC_REQUEST : NAK));
                continue;
            }
            if (corruptPending && faults.corruptBlock == expected) {
                corruptPending = false;
                line.write(QByteArray(1, WRONG_ANSWER));
                continue;
            }
            retries = 0;

            if (expected > 0) {
                current.data.append(data);
                line.write(QByteArray(1, ACK));
                ++expected;
                continue;
            }

            // A header: name NUL size [more fields]. An empty name ends the batch.
            if (data.at(0) == '\0') {
                line.write(QByteArray(1, ACK));
                *detail = QStringLiteral("batch of %1 file(s) received").arg(files->size());
                return Outcome::Done;
            }
            const int nul = data.indexOf('\0');
            const QString fullName = QString::fromUtf8(data.left(nul < 0 ? size : nul));
            const QString base = fullName.mid(fullName.lastIndexOf(QLatin1Char('/')) + 1);
            if (base.isEmpty() || base == QLatin1String(".") || base == QLatin1String(".."))
                return fail(QStringLiteral("refused file name \"%1\"").arg(fullName));
            QByteArray digits;
            for (int i = nul + 1; nul >= 0 && i < size && data[i] >= '0' && data[i] <= '9'; ++i)
                digits.append(data[i]);
            bool ok = false;
            const qint64 headerSize = digits.toLongLong(&ok);
            current = File();
            current.name = base;
            current.headerSize = ok ? headerSize : -1;
            if (!delayHeaderAck(setup)) {
                *detail = QStringLiteral("stopped");
                return Outcome::Stopped;
            }
            line.write(QByteArray(1, ACK));
            line.write(QByteArray(1, CRC_REQUEST));
            inFile = true;
            afterEot = false;
            expected = 1;
            continue;
        }

        if (first == EOT && inFile) {
            if (!step(QStringLiteral("eot"))) {
                *detail = QStringLiteral("stopped at eot");
                return Outcome::Stopped;
            }
            // The header's size is the file's; the last block's padding is not part of it.
            if (current.headerSize >= 0 && current.data.size() > current.headerSize)
                current.data.truncate(int(current.headerSize));
            line.write(QByteArray(1, ACK));
            files->append(current);
            current = File();
            inFile = false;
            afterEot = true;
            expected = 0;
            retries = 0;
            request = CRC_REQUEST;
            sendRequest = true;
            continue;
        }

        if (first == CAN) {
            const int next = line.readByte(ByteWaitMs);
            if (next == CAN) {
                *detail = QStringLiteral("cancelled by the sender");
                return Outcome::PeerCancelled;
            }
            if (next >= 0)
                line.unread(QByteArray(1, char(next)));
            continue;
        }

        if (afterEot) {
            // The sender ended without a closing header and the line carries text again.
            line.unread(QByteArray(1, first));
            *detail = QStringLiteral("batch ended without a closing header");
            return Outcome::Done;
        }
        if (idle) {
            if (first == '\r' || first == '\n') {
                const bool goOn = text.isEmpty() || !setup.onLine || setup.onLine(text);
                text.clear();
                if (!goOn) {
                    *detail = QStringLiteral("stopped");
                    return Outcome::Stopped;
                }
            } else if (text.size() < 256) {
                text.append(first);
            }
        }
        // Any other byte inside a file is line noise before the next block.
    }
}
