// YMODEM receiver of the worker (CRC-16 mode). Bytes are gathered by onReadyRead on the port's
// thread; this side takes each packet out of the capture buffer as soon as it is complete.
#include "consoletrace.h"
#include "qextserialport.h"
#include "timescale.h"
#include "ymodem.h"
#include "ymodemcode.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMutexLocker>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <cmath>
#include <memory>

namespace
{
const char kSOH = 0x01;
const char kSTX = 0x02;
const char kEOT = 0x04;
const char kACK = 0x06;
const char kCAN = 0x18;
const char kCrcRequest = 'C';

const int kLargePacket = 1024 + 5;
const int kMaxNameBytes = 256;
const int kMaxSizeDigits = 16;
const int kMaxFailures = 5; // failed packets in a row once the session runs

const int kPacketWaitMs = 5000;         // one packet, or the silence that ends a session
const int kPollSliceMs = 2;             // longest doze between two looks at the capture buffer
const int kRetryPauseMs = 3000;         // quiet after a failed packet before asking again
const int kSyncErrorPauseMs = 100;      // before cancelling on a block out of sequence
const int kEndHeaderPauseMs = 100;      // before acknowledging the batch's empty header
const int kSessionStartLimitMs = 60000; // nobody has started sending within this: give up
// A whole session, however the sender trickles: the users' database takes seconds.
const int kSessionLimitMs = 600000;

void trace(const QString& text)
{
    ConsoleTrace::print(text);
}

void sleepScaled(int ms)
{
    QThread::msleep(unsigned(TimeScale::ms(ms)));
}

// Whether what is buffered already makes up a whole packet; other content is taken once the
// packet wait runs out.
bool packetComplete(int count, char first, char second)
{
    if (count < 1)
        return false;
    switch (first) {
    case kEOT:
    case 'A':
    case 'a':
        return true;
    case kCAN:
        return count >= 2 && second == kCAN;
    case kSOH:
        return count >= 128 + 5;
    case kSTX:
        return count >= kLargePacket;
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
} // namespace

// Drops what is captured and what still waits in the port: after a failure and the pause that
// follows, nothing there belongs to the packet about to be asked for.
void YMODEM::purgeInput()
{
    QMutexLocker lock(&rxMutex);
    rxCount = 0;
    if (port && port->isOpen())
        port->readAll();
}

int YMODEM::Receive_Packet(char* buffer, int* length, int sessionStarted)
{
    *length = 0;
    QElapsedTimer waited;
    waited.start();
    const int limit = TimeScale::ms(kPacketWaitMs);
    for (;;) {
        int count;
        char first = 0;
        char second = 0;
        {
            QMutexLocker lock(&rxMutex);
            count = rxCount;
            if (count > 0)
                first = rxBuffer[0];
            if (count > 1)
                second = rxBuffer[1];
        }
        if (packetComplete(count, first, second) || count >= kLargePacket)
            break;
        const qint64 left = limit - waited.elapsed();
        if (left <= 0)
            break;
        waitForInput(int(qMin<qint64>(left, kPollSliceMs)));
    }

    QMutexLocker lock(&rxMutex);
    const int count = rxCount;
    rxCount = 0; // what lies beyond the packet goes with it

    if (count == 0) {
        // A flood that overran the capture buffer leaves its last bytes in the port, and no
        // further notification brings them in: that is line noise, not the end of a session.
        if (sessionStarted == 1 && port && port->bytesAvailable() > 0)
            return -1;
        return sessionStarted == 1 ? 0 : -1;
    }

    int n;
    switch (rxBuffer[0]) {
    case kSOH:
        n = 128;
        break;
    case kSTX:
        n = 1024;
        break;
    case kEOT:
        *length = 1;
        return 0;
    case kCAN:
        if (count >= 2 && rxBuffer[1] == kCAN) {
            *length = -1;
            return 0;
        }
        return -1;
    case 'A':
    case 'a':
        return 1;
    default:
        return -1;
    }

    qDebug() << "Packet Received Length " << count << " bytes";
    trace(QStringLiteral("Packet Received Length %1 bytes\r\n").arg(count));
    if (count < n + 5) {
        qDebug() << "Packet Received Error";
        trace(QStringLiteral("Packet Received Error\r\n"));
        return -1;
    }
    memcpy(buffer, rxBuffer, size_t(n + 5));
    if (quint8(buffer[2]) != quint8(0xFF - quint8(buffer[1])))
        return -1;

    const quint16 crc = Crc16_Compute(reinterpret_cast<const unsigned char*>(buffer) + 3, n);
    const quint16 sentCrc = quint16((quint8(buffer[n + 3]) << 8) | quint8(buffer[n + 4]));
    if (crc != sentCrc) {
        qDebug() << "Packet CRC Error";
        trace(QStringLiteral("Packet CRC Error\r\n"));
        return -1;
    }
    *length = n;
    return 0;
}

// The folder received files go to: the one set by the caller, or else a fresh folder of this
// user's own (mode 0700, made by QTemporaryDir with a random name) under the temporary
// location, kept for the worker's life. Empty when no such folder can be made: a fixed name
// under a shared folder could be made or watched by another user first.
QString YMODEM::receiveFolderPath()
{
    if (!receiveFolder.isEmpty())
        return receiveFolder;
    if (!ownReceiveFolder.isEmpty() && QFileInfo(ownReceiveFolder).isDir())
        return ownReceiveFolder;

    // An unusable temporary location comes back as an empty text, which must not become "/".
    const QStringList temps = QStandardPaths::standardLocations(QStandardPaths::TempLocation);
    if (temps.isEmpty() || temps.first().isEmpty()) {
        trace(QStringLiteral("No temporary folder for the received file\r\n"));
        return QString();
    }
    QTemporaryDir dir(temps.first() + QStringLiteral("/BrenvikUpdater-XXXXXX"));
    if (!dir.isValid()) {
        qDebug() << "Cannot create a folder under" << temps.first() << dir.errorString();
        trace(QStringLiteral("Cannot create a folder under %1: %2\r\n")
                  .arg(temps.first(), dir.errorString()));
        return QString();
    }
    dir.setAutoRemove(false);
    QFile::setPermissions(dir.path(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    ownReceiveFolder = dir.path();
    return ownReceiveFolder;
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

int YMODEM::Ymodem_Receive(QString fileName)
{
    refusedFileName.clear();
    const QString folder = receiveFolderPath();
    qDebug() << folder;
    trace(folder + QStringLiteral("\r\n"));
    if (folder.isEmpty()) {
        cancelTransfer();
        return YmodemCode::CancelledOnce;
    }

    {
        QMutexLocker lock(&rxMutex);
        rxCount = 0;
    }
    userFileTruncated = false;
    int sessionStarted = 0;
    int errors = 0;
    int expectedBlock = 0;
    qint64 fileSize = 0;
    bool sizeKnown = false;
    qint64 total = 0;
    std::unique_ptr<QFile> file;
    QElapsedTimer sinceStart;
    sinceStart.start();

    // Closes the file in hand; a file that ended short of its header's size marks the receive.
    auto finishFile = [&]() {
        if (!file)
            return;
        file->close();
        file.reset();
        if (sizeKnown && total < fileSize)
            userFileTruncated = true;
    };
    auto sessionDone = [&]() {
        finishFile();
        qDebug() << "Session Done";
        trace(QStringLiteral("Session Done\r\n"));
        return YmodemCode::Done;
    };
    // A file that must not be kept: what was written of it goes, and the sender is cancelled.
    auto refuseFile = [&](const QString& why) {
        qDebug() << "File Refused:" << why;
        trace(QStringLiteral("File Refused: %1\r\n").arg(why));
        if (file) {
            file->close();
            file->remove();
            file.reset();
            userFilePath.clear();
        }
        cancelTransfer();
        return YmodemCode::CancelledOnce;
    };

    for (;;) {
        if (sinceStart.elapsed() >= TimeScale::ms(kSessionLimitMs))
            return refuseFile(QStringLiteral("the session did not end within %1 s")
                                  .arg(TimeScale::ms(kSessionLimitMs) / 1000.0));
        int length = 0;
        const int packet = Receive_Packet(packetBuffer, &length, sessionStarted);

        if (packet != 0 && packet != 1) {
            if (sessionStarted)
                ++errors;
            if (errors > kMaxFailures) {
                finishFile();
                qDebug() << "Error: Session Closed with errors";
                trace(QStringLiteral("Error: Session Closed with Errors\r\n"));
                cancelTransfer();
                return YmodemCode::Done;
            }
            if (!sessionStarted && sinceStart.elapsed() >= TimeScale::ms(kSessionStartLimitMs)) {
                qDebug() << "Error: No Sender";
                trace(QStringLiteral("Error: nothing received within %1 s\r\n")
                          .arg(TimeScale::ms(kSessionStartLimitMs) / 1000.0));
                cancelTransfer();
                return YmodemCode::NoSender;
            }
            sleepScaled(kRetryPauseMs);
            purgeInput();
            yTransmitWrite(kCrcRequest);
            continue;
        }

        if (packet == 1) {
            finishFile();
            qDebug() << "Error: Session Closed";
            trace(QStringLiteral("Error: Session Closed\r\n"));
            cancelTransfer();
            return YmodemCode::Aborted;
        }

        errors = 0;
        if (length == -1) {
            yTransmitWrite(kACK);
            finishFile();
            return YmodemCode::Done;
        }
        if (length == 0) {
            yTransmitWrite(kACK);
            return sessionDone();
        }
        if (length == 1) {
            // EOT: the file is complete; the next header (or the empty one) follows.
            finishFile();
            expectedBlock = 0;
            yTransmitWrite(kACK);
            yTransmitWrite(kCrcRequest);
            continue;
        }

        if (quint8(packetBuffer[1]) != quint8(expectedBlock & 0xFF)) {
            qDebug() << "Sync Error";
            trace(QStringLiteral("Sync Error\r\n"));
            sleepScaled(kSyncErrorPauseMs);
            finishFile();
            cancelTransfer();
            return YmodemCode::CancelledOnce;
        }

        const char* data = packetBuffer + 3;
        if (expectedBlock == 0) {
            if (data[0] == 0) {
                qDebug() << "File Header " << int(data[0]);
                trace(QStringLiteral("File Header %1\r\n").arg(int(data[0])));
                sleepScaled(kEndHeaderPauseMs);
                yTransmitWrite(kACK);
                return sessionDone();
            }

            int i = 0;
            while (i < length && i < kMaxNameBytes && data[i] != 0)
                ++i;
            const QString given = QString::fromUtf8(data, i);
            ++i;
            const int digitsFrom = i;
            while (i < length && i - digitsFrom < kMaxSizeDigits && data[i] >= '0' &&
                   data[i] <= '9')
                ++i;
            bool ok = false;
            const qint64 parsed =
                i > digitsFrom
                    ? QString::fromLatin1(data + digitsFrom, i - digitsFrom).toLongLong(&ok)
                    : 0;
            fileSize = ok ? parsed : 0;
            sizeKnown = ok;

            finishFile();
            total = 0;
            const QString name = safeFileName(given);
            if (name.isEmpty()) {
                qDebug() << "File Name Refused" << given;
                trace(QStringLiteral("File Name Refused: %1\r\n").arg(given));
                cancelTransfer();
                return YmodemCode::CancelledOnce;
            }
            if (!fileName.isEmpty() && name != fileName) {
                refusedFileName = name;
                qDebug() << "File Name Refused" << given << "not" << fileName;
                trace(QStringLiteral("File Name Refused: \"%1\", not the \"%2\" asked for\r\n")
                          .arg(given, fileName));
                cancelTransfer();
                return YmodemCode::CancelledOnce;
            }
            if (fileSize > kMaxFileBytes)
                return refuseFile(QStringLiteral("%1 announced with %2 bytes, more than %3")
                                      .arg(name)
                                      .arg(fileSize)
                                      .arg(kMaxFileBytes));

            const QString path = folder + QLatin1Char('/') + name;
            if (announceReceivedFile)
                emit putUserSettingPath(path);
            qDebug() << path << "size " << fileSize << "bytes";
            userFilePath = path;
            trace(QStringLiteral("%1 size %2 bytes\r\n").arg(path).arg(fileSize));

            file.reset(new QFile(path));
            // Owner-only before the first byte goes in: the users' data are personal.
            if (!file->open(QIODevice::WriteOnly | QIODevice::Unbuffered) ||
                !file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
                file.reset();
                qDebug() << "Open File Error";
                trace(QStringLiteral("Open File Error\r\n"));
                cancelTransfer();
                return YmodemCode::CancelledOnce;
            }
            yTransmitWrite(kACK);
            yTransmitWrite(kCrcRequest);
        } else {
            // The padding of the last block is not part of the file when the header gave
            // its size; a block beyond that size, or beyond the cap, is not part of any file.
            if (sizeKnown && total >= fileSize)
                return refuseFile(
                    QStringLiteral("data beyond the %1 bytes announced").arg(fileSize));
            if (!sizeKnown && total + length > kMaxFileBytes)
                return refuseFile(
                    QStringLiteral("more than %1 bytes without a size").arg(kMaxFileBytes));
            qint64 keep = length;
            if (sizeKnown)
                keep = qBound<qint64>(0, fileSize - total, length);
            memcpy(dataBuffer, data, size_t(length));
            const qint64 written = file && keep > 0 ? file->write(dataBuffer, keep) : 0;
            if (written != keep) {
                finishFile();
                qDebug() << "Error: End Session";
                trace(QStringLiteral("Error: End Session\r\n"));
                cancelTransfer();
                return YmodemCode::CancelledTwice;
            }
            total += written;
            int p = 0;
            if (sizeKnown)
                p = fileSize > 0 ? int(std::floor(float(double(total) / double(fileSize) * 100.0)))
                                 : 100;
            emit progress(p);
            yTransmitWrite(kACK);
        }

        sessionStarted = 1;
        ++expectedBlock;
    }
}
