// Console sequences of the worker: the information queries, the firmware update and the
// restore of the users' data. The console has no prompt; replies are delimited by fixed waits
// alone, so every wait below is one the console relies on. All of them go through TimeScale so
// that tests can run the sequences quickly.
#include "consolereplies.h"
#include "consoletrace.h"
#include "qextserialport.h"
#include "resultcodes.h"
#include "timescale.h"
#include "usersdatastore.h"
#include "ymodem.h"

#include <QDebug>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QSqlError>
#include <QSqlQuery>
#include <QThread>
#include <QVariant>

namespace
{
const char kCAN = 0x18;
const char kACK = 0x06;
const char kNAK = 0x15;

// Open mode of the port: read-write, unbuffered.
const QIODevice::OpenMode kPortMode = QIODevice::ReadWrite | QIODevice::Unbuffered;

// The console's loader polls for a sender every second or so; a console that sends nothing
// for this long will not start a transfer any more.
const int kSyncSilenceLimitMs = 60000;

// Permissions given to the received users' file: rwx for the owner, r-x for group and others.
const QFileDevice::Permissions kUsersFilePermissions = QFileDevice::Permissions(0x7055);

void trace(const QString& text)
{
    ConsoleTrace::print(text);
}
} // namespace

void YMODEM::pause(int ms)
{
    QThread::msleep(unsigned(TimeScale::ms(ms)));
}

void YMODEM::writeCommand(const QByteArray& command)
{
    if (port)
        port->write(command);
}

// Whatever the port holds now is the reply; it is echoed on the debug console as the text up
// to its first NUL.
QByteArray YMODEM::readReply()
{
    const QByteArray reply = port ? port->readAll() : QByteArray();
    trace(QString::fromLatin1(reply.constData()) + QStringLiteral("\r\n"));
    return reply;
}

// The common tail of both queries: build version, identity, article and serial number.
void YMODEM::readIdentity(QString version)
{
    pause(200);
    writeCommand("BV\r\n");
    pause(200);
    if (ConsoleReplies::appendBuildVersion(version, readReply()))
        emit versionReady(version);

    pause(200);
    writeCommand("KI\r\n");
    pause(200);
    QString name, monitor;
    if (ConsoleReplies::identity(readReply(), name, monitor)) {
        emit nameReady(name);
        emit monitorID(monitor);
    }

    pause(200);
    writeCommand("CA\r\n");
    pause(200);
    emit articleReady(ConsoleReplies::article(readReply()));

    pause(200);
    writeCommand("SN\r\n");
    pause(200);
    QString serial;
    if (ConsoleReplies::serialNumber(readReply(), serial)) {
        deviceSerial = serial;
        emit serialReady(serial);
    }
}

void YMODEM::yTransmitGetFirmwareVersion()
{
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Get Firmware Version.\r\n"));
    yTransmitFlushInput();

    pause(200);
    writeCommand("VE\r\n");
    pause(1000);
    const QByteArray reply = readReply();

    if (ConsoleReplies::loaderBeforeUpdate(reply)) {
        trace(QStringLiteral("Device in DFU Mode, Download User File Aborted\r\n"));
        preserveSettings = false;
        emit enableUpdateSignal(false);
        return;
    }

    deviceVersion = ConsoleReplies::versionNumber(reply);
    if (deviceVersion != 0) {
        if (verChanged > deviceVersion)
            settingsChanged = true;
        if (minVerChanged >= deviceVersion)
            versionTooOld = true;
    }

    readIdentity(ConsoleReplies::versionText(reply));

    emit enableUpdateSignal(true);
    if (versionTooOld)
        emit verCompErrorSignal();
}

void YMODEM::getUpdatedFirmwareVersion()
{
    pause(500);
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Get Updated Firmware Version.\r\n"));
    yTransmitFlushInput();

    pause(200);
    writeCommand("VE\r\n");
    pause(1000);
    const QByteArray reply = readReply();

    stillInLoader = ConsoleReplies::loaderAfterUpdate(reply);
    if (stillInLoader) {
        emit versionReady(QString());
        emit yModemResult(ResultCode::DeviceDataRead);
        return;
    }

    readIdentity(ConsoleReplies::versionText(reply));
    emit yModemResult(ResultCode::DeviceDataRead);
}

// Both sends start alike: the status, then the wait for the receiver's request. A failed
// wait is reported here, so the caller only has to stop.
bool YMODEM::loadFileRequested()
{
    setStatus(tr("File Loading..."));
    const int sync = syncWithReceiver();
    if (sync != 0) {
        emit yModemResult(sync);
        return false;
    }
    return true;
}

// Waits for the receiver's first request. Returns 0 when the send may start (a request came,
// ten passes of other bytes went by, or the port failed to read: the send then reports for
// itself), CancelledByConsole on CAN CAN, NoAnswerFromConsole after kSyncSilenceLimitMs of
// silence.
int YMODEM::syncWithReceiver()
{
    QElapsedTimer silence;
    silence.start();
    int passes = 0;
    for (;;) {
        char c = 0;
        if (yTransmitRead(c, 100) < 0)
            return 0;
        bool passEnds = true;
        switch (c) {
        case 0:
            qDebug() << "XYMODEM::yTransmit - Waiting Connect...";
            trace(QStringLiteral("XYMODEM::yTransmit - Waiting Connect...\r\n"));
            setStatus(tr("Waiting for Sync..."));
            passes = 0;
            if (silence.elapsed() >= TimeScale::ms(kSyncSilenceLimitMs)) {
                trace(QStringLiteral("No request from the Device within %1 s\r\n")
                          .arg(TimeScale::ms(kSyncSilenceLimitMs) / 1000.0));
                return ResultCode::NoAnswerFromConsole;
            }
            break;
        case kCAN:
            silence.restart();
            if (yTransmitRead(c, 50) >= 0 && c == kCAN) {
                yTransmitWrite(kACK);
                yTransmitFlushInput();
                qDebug() << "XMODEM::yTransmit - canceled by remote";
                trace(QStringLiteral("XMODEM::yTransmit - canceled by remote\r\n"));
                setStatus(tr("Upload Canceled by Remote"));
                return ResultCode::CancelledByConsole;
            }
            break;
        case 'c':
            qDebug() << "c";
            trace(QStringLiteral("c\r\n"));
            Q_FALLTHROUGH();
        case 'C':
            qDebug() << "C";
            trace(QStringLiteral("C\r\n"));
            Q_FALLTHROUGH();
        case kNAK:
            qDebug() << "NAK";
            trace(QStringLiteral("NAK\r\n"));
            passEnds = false;
            break;
        default:
            silence.restart();
            qDebug() << "XYMODEM::yTransmit - Unknown : " << c;
            trace(QStringLiteral("XMODEM::yTransmit - Unknown, %1\r\n")
                      .arg(QString::fromLatin1(&c, 1)));
            break;
        }
        if (!passEnds)
            return 0;
        if (++passes >= 10)
            return 0;
    }
}

// A later run registers the default connection again; the earlier handle is let go first so
// that Qt does not warn about a connection still in use.
void YMODEM::releaseUserDb()
{
    if (!userDb.isValid())
        return;
    userDb.close();
    userDb = QSqlDatabase();
    QSqlDatabase::removeDatabase(QLatin1String(QSqlDatabase::defaultConnection));
}

// Steps of the users' data check after the receive: returns 0 when the file is sound (and has
// been migrated where the release asks for it), else the result code of the failure.
int YMODEM::checkAndMigrateUsersFile()
{
    const QFileInfo info(userFilePath);
    if (userFilePath.isEmpty() || !info.exists()) {
        trace(QStringLiteral("User Settings File Not Found\r\n"));
        return ResultCode::UserFileMissing;
    }
    if (info.size() == 0) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        return ResultCode::UserFileMissing;
    }
    if (userFileTruncated) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        trace(QStringLiteral("User Settings File shorter than announced by the Device\r\n"));
        return ResultCode::UserFileCorrupted;
    }

    trace(QStringLiteral("Users File Path: %1\r\n").arg(userFilePath));

    userDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    userDb.setDatabaseName(userFilePath);

    if (!QFile::setPermissions(userFilePath, kUsersFilePermissions)) {
        qDebug() << "Something wrong!";
        trace(QStringLiteral("setPermissions Failed\r\n"));
    } else {
        trace(QStringLiteral("Setted all permissions to BrenvikDATA successfully\r\n"));
    }

    if (!userDb.open()) {
        qDebug() << "Error: connection with database failure";
        if (userDb.lastError().isValid())
            trace(QStringLiteral("Error: connection with Storage failure: %1\r\n")
                      .arg(userDb.lastError().text()));
        else
            trace(QStringLiteral("Error: connection with Storage failure\r\n"));
    } else {
        qDebug() << "Storage: connection ok";
        trace(QStringLiteral("Storage: connection ok\r\n"));
    }

    QSqlQuery query(QStringLiteral("PRAGMA integrity_check"), userDb);
    qDebug() << "PRAGMA integrity_check";
    const QString result = query.next() ? query.value(0).toString() : QString();
    trace(QStringLiteral("Results = %1\r\n").arg(result));
    qDebug() << "Results =" << result;
    if (!ConsoleReplies::integrityOk(result)) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        return ResultCode::UserFileCorrupted;
    }

    QStringList failed;
    if (!settingsChanged) {
        trace(QStringLiteral("Users Settings left untouched\r\n"));
    } else if (queryList) {
        int step = 0;
        for (const QString& statement : qAsConst(*queryList)) {
            ++step;
            // SQLite checks a statement when it is prepared: one that names what is not there
            // fails then, and its reason is the prepare's.
            bool done = query.prepare(statement);
            if (done)
                done = query.exec();
            trace(QStringLiteral("Editing User Settings File.. Step %1\r\n").arg(step));
            // The sequence goes on, but a statement that did not apply must not pass unseen.
            if (!done) {
                const QSqlError error = query.lastError();
                const QString reason =
                    error.databaseText().isEmpty() ? error.text() : error.databaseText();
                trace(QStringLiteral("Editing User Settings File.. Step %1 failed: %2\r\n")
                          .arg(step)
                          .arg(reason));
                failed << QStringLiteral("Step %1: %2: %3").arg(step).arg(statement, reason);
            }
        }
    }
    emit migrationReport(failed, QString());
    return 0;
}

void YMODEM::yTransmit(QString filePath)
{
    if (!port || !port->isOpen()) {
        trace(QStringLiteral("Serial port not open, update not started\r\n"));
        emit yModemResult(ResultCode::NoAnswerFromConsole);
        return;
    }

    stillInLoader = false;

    if (preserveSettings && versionTooOld) {
        emit yModemResult(ResultCode::VersionTooOld);
        return;
    }

    // The image is read before anything changes on the console: a missing or unreadable image
    // then leaves the console running its application.
    if (!QFileInfo::exists(filePath)) {
        trace(QStringLiteral("Firmware File Not Found: %1\r\n").arg(filePath));
        emit yModemResult(ResultCode::ImageMissing);
        return;
    }
    QByteArray image;
    {
        QFile file(filePath);
        if (!file.open(QIODevice::ReadOnly)) {
            trace(QStringLiteral("Firmware File Open Error: %1\r\n").arg(file.errorString()));
            emit yModemResult(ResultCode::ImageUnreadable);
            return;
        }
        image = file.readAll();
        if (image.size() != file.size()) {
            trace(QStringLiteral("Firmware File Read Error: %1\r\n").arg(file.errorString()));
            emit yModemResult(ResultCode::ImageUnreadable);
            return;
        }
    }

    // Phase 1: the users' data leave the console and are checked and migrated here.
    if (preserveSettings) {
        setStatus(tr("Saving User Data... Please Wait"));
        trace(QStringLiteral("Saving User Data.\r\n"));

        pause(200);
        writeCommand("SHELL\r\n");
        pause(1000);
        readReply();

        writeCommand("send file /BrenvikDATA");
        pause(200);
        readReply();

        writeCommand("\r\n");
        pause(400);
        readReply();

        releaseUserDb();
        // A file left from an earlier run must never stand in for one that did not come.
        userFilePath.clear();
        userFileTruncated = false;
        {
            QMutexLocker lock(&rxMutex);
            rxCount = 0;
        }
        rxCapture = 1;
        Ymodem_Receive(QString());
        pause(1000);
        rxCapture = 0;

        writeCommand("\r\n");
        pause(200);
        writeCommand("\r\n");
        pause(200);
        writeCommand("exit\r\n");
        readReply();

        emit readUserDataDone();

        const int checked = checkAndMigrateUsersFile();
        if (checked != 0) {
            emit yModemResult(checked);
            port->close();
            emit serialConnected(-2);
            return;
        }

        // The console's memory is about to be erased: from here on the users' data must live
        // somewhere that outlasts the temporary folder.
        QString why;
        const QString kept = UsersDataStore::keep(userFilePath, deviceSerial, &why);
        if (kept.isEmpty()) {
            trace(QStringLiteral("Users Data could not be kept: %1\r\n").arg(why));
            emit yModemResult(ResultCode::UserFileNotKept);
            port->close();
            emit serialConnected(-2);
            return;
        }
        trace(QStringLiteral("Users Data kept in %1\r\n").arg(kept));
        emit putUserSettingPath(kept);
    }

    // Phase 2: the console restarts in its loader.
    if (!rescueRequested)
        preserveSettings = true;
    setStatus(tr("Connecting Device... "));

    writeCommand("SHELL\r\n");
    pause(1000);
    emit progress(0);
    writeCommand("\r\n");
    pause(10);
    writeCommand("\r\n");
    pause(1000);
    if (!readReply().isEmpty())
        statusText = tr("Connected...");
    emit setFirmwareUploadStatus(statusText);

    trace(QStringLiteral("Deleting last memory sector\r\n"));
    writeCommand("spi delsect 4095\r\n");
    pause(2000);

    writeCommand("reset\r\n");
    pause(100);
    readReply();

    port->close();
    trace(QStringLiteral("Serial port closed\r\n"));
    pause(6000);

    if (port->open(kPortMode))
        trace(QStringLiteral("Serial port opened\r\n"));
    else
        trace(QStringLiteral("Serial port open error\r\n"));

    pause(500);
    setStatus(tr("Rebooted in DFU Mode..."));
    pause(200);

    // Phase 3: the image goes to the loader.
    if (!loadFileRequested())
        return;

    const int result = Ymodem_Transmit(image, QFileInfo(filePath));
    trace(QStringLiteral("Ymodem_Transmit Response: %1\r\n").arg(result));
    port->close();
    emit serialConnected(-2);
    pause(500);
    emit yModemResult(result);
}

void YMODEM::yTransmitUserSettings(QString filePath)
{
    trace(QStringLiteral("Send User Settings File.\r\n"));

    // The file is read whole before anything is sent: the console's own copy is deleted
    // further down, and a file that cannot be sent must not cost it.
    QString problem;
    QByteArray contents;
    QFile file(filePath);
    if (filePath.isEmpty() || !file.exists())
        problem = QStringLiteral("User Settings File Not Found.\r\n");
    else if (file.size() == 0)
        problem = QStringLiteral("User Settings File Empty.\r\n");
    else if (!file.open(QIODevice::ReadOnly))
        problem = QStringLiteral("User Settings File Open Error.\r\n");
    else {
        contents = file.readAll();
        if (contents.size() != file.size())
            problem = QStringLiteral("User Settings File Open Error.\r\n");
        file.close();
    }
    if (!problem.isEmpty()) {
        writeCommand("\r\n");
        pause(500);
        writeCommand("exit\r\n");
        if (port)
            port->close();
        emit serialConnected(-2);
        pause(500);
        trace(problem);
        emit yModemResult(ResultCode::UserFileMissing);
        return;
    }
    // The loader takes whatever is sent to it as its new image.
    if (stillInLoader) {
        trace(QStringLiteral("Device still in DFU Mode, User Settings File not sent.\r\n"));
        emit yModemResult(ResultCode::DeviceStillInLoader);
        return;
    }

    setStatus(tr("Connecting Device... "));
    writeCommand("SHELL\r\n");
    pause(1000);
    emit progress(0);
    writeCommand("\r\n");
    pause(10);
    writeCommand("\r\n");
    pause(1000);
    if (!readReply().isEmpty())
        statusText = tr("Connected...");
    emit setFirmwareUploadStatus(statusText);

    writeCommand("rm /BrenvikDATA\r\n");
    pause(500);
    readReply();

    writeCommand("receive file\r\n");
    pause(1000);
    readReply();
    pause(200);

    if (!loadFileRequested())
        return;

    const int result = Ymodem_Transmit_User_Data(contents, QFileInfo(filePath));
    trace(QStringLiteral("Ymodem_Transmit_User_Data Response: %1\r\n").arg(result));
    if (result != 0) {
        emit yModemResult(result);
        return;
    }
    writeCommand("\r\n");
    pause(500);
    writeCommand("exit\r\n");
    readReply();
    pause(500);
    emit yModemResult(ResultCode::UserSettingsRestored);
}

void YMODEM::deviceRenameBLE_File()
{
    pause(500);
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Rename BLE File Commands.\r\n"));
    yTransmitFlushInput();

    pause(200);
    writeCommand("SHELL\r\n");
    pause(200);
    readReply();

    pause(200);
    writeCommand("mv /R-BTM093004_.cyacd /R-BTM093004.cyacd\r\n");
    pause(200);
    readReply();

    writeCommand("reset\r\n");
    pause(100);
    readReply();

    port->close();
    emit serialConnected(-2);
    emit shutdownDelayedSignal();
}
