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
#include "ymodemcode.h"

#include <QDebug>
#include <QDir>
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

// ---- Waits, in milliseconds before TimeScale ----
// The console takes a new command only once it has finished answering the last one.
const int kBeforeCommandMs = 200;
// "VE" is answered after the console has read its version from flash.
const int kVersionReplyMs = 1000;
// The other information commands, and the shell's short answers ("SHELL", "mv").
const int kShortReplyMs = 200;
// The query after an update: the console's application settles after the reconnect.
const int kAfterUpdateSettleMs = 500;
// The shell starts and prints its banner.
const int kShellStartMs = 1000;
// Between the two empty lines that settle the shell.
const int kShellSettleMs = 10;
// The shell's answer to those empty lines.
const int kShellReplyMs = 1000;
// "send file /BrenvikDATA" is echoed before its line end is sent.
const int kSendFileEchoMs = 200;
// The console's sender starts after the line end.
const int kSendFileStartMs = 400;
// The console's sender ends its session after the last ACK.
const int kSenderEndMs = 1000;
// Each empty line that brings the shell back after a transfer.
const int kAfterTransferLineMs = 200;
// "spi delsect 4095" erases one sector of the console's memory.
const int kEraseSectorMs = 2000;
// The last bytes the console sends before it restarts.
const int kResetReplyMs = 100;
// The restart into the loader, with the USB device gone and back (1 to 3 s on a real console).
const int kLoaderRebootMs = 6000;
// A console that is not back after kLoaderRebootMs is looked for this much longer, every
// kReopenRetryMs, before the update stops.
const int kLoaderReturnLimitMs = 20000;
const int kReopenRetryMs = 500;
// The loader's port settles after the reopen, before the status changes and after.
const int kLoaderSettleMs = 500;
const int kBeforeImageMs = 200;
// "rm /BrenvikDATA" deletes the file.
const int kRemoveFileMs = 500;
// "receive file" starts the console's receiver, which then asks with "C".
const int kReceiverStartMs = 1000;
const int kBeforeSyncMs = 200;
// The empty line before "exit" that ends a shell session.
const int kLeaveShellMs = 500;
// After "exit" (and after a refused restore, after the port was closed).
const int kAfterExitMs = 500;
// Before the rename sequence starts.
const int kBeforeRenameMs = 500;
// After the image was sent, before its result goes out.
const int kAfterImageMs = 500;

// The console's loader polls for a sender every second or so; a console that has not asked
// within this long will not start a transfer any more, whatever else trickles in.
const int kSyncLimitMs = 60000;

// The users' file on the console, and the name its sender gives it.
const char* const kUsersFileName = "BrenvikDATA";

// The received users' file is personal: owner read and write only.
const QFileDevice::Permissions kUsersFilePermissions =
    QFileDevice::ReadOwner | QFileDevice::WriteOwner;

// Phases named in the trace when a sequence stops.
const char* const kUpdatePhase = "Update";
const char* const kSavePhase = "Saving users data";
const char* const kCheckPhase = "Checking users data";
const char* const kLoaderPhase = "Entering loader";
const char* const kRestorePhase = "Restoring users data";
const char* const kKeepBeforeRestorePhase = "Keeping the console's users data before the restore";

void trace(const QString& text)
{
    ConsoleTrace::print(text);
}

QString phaseName(const char* phase)
{
    return QString::fromLatin1(phase);
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

QByteArray YMODEM::query(const QByteArray& command, int replyMs)
{
    pause(kBeforeCommandMs);
    writeCommand(command);
    pause(replyMs);
    return readReply();
}

void YMODEM::dropLine()
{
    if (port)
        port->close();
    emit serialConnected(int(PortState::Closed));
}

void YMODEM::fail(int code, const QString& phase, const QString& detail)
{
    qDebug() << phase << "stopped:" << detail << "result" << code;
    trace(QStringLiteral("%1: %2\r\n").arg(phase, detail));
    emit yModemResult(code);
}

// The shell entry before the loader and before the restore: the status says whether the
// shell answered.
void YMODEM::enterShell()
{
    setStatus(tr("Connecting Device... "));
    writeCommand("SHELL\r\n");
    pause(kShellStartMs);
    emit progress(0);
    writeCommand("\r\n");
    pause(kShellSettleMs);
    writeCommand("\r\n");
    pause(kShellReplyMs);
    if (!readReply().isEmpty())
        statusText = tr("Connected...");
    emit setFirmwareUploadStatus(statusText);
}

void YMODEM::leaveShell(int settleMs)
{
    writeCommand("\r\n");
    pause(settleMs);
    writeCommand("exit\r\n");
    readReply();
}

// The common tail of both queries: build version, identity, article and serial number.
void YMODEM::readIdentity(QString version)
{
    if (ConsoleReplies::appendBuildVersion(version, query("BV\r\n", kShortReplyMs)))
        emit versionReady(version);

    QString name, monitor;
    if (ConsoleReplies::identity(query("KI\r\n", kShortReplyMs), name, monitor)) {
        emit nameReady(name);
        emit monitorID(monitor);
    }

    emit articleReady(ConsoleReplies::article(query("CA\r\n", kShortReplyMs)));

    QString serial;
    if (ConsoleReplies::serialNumber(query("SN\r\n", kShortReplyMs), serial)) {
        deviceSerial = serial;
        emit serialReady(serial);
    }
}

bool YMODEM::readSerialNumber(QString* serial)
{
    QString read;
    if (!ConsoleReplies::serialNumber(query("SN\r\n", kShortReplyMs), read))
        return false;
    *serial = read.trimmed();
    return !serial->isEmpty();
}

// Asked right before anything that removes or overwrites the users' data on a console: with
// two consoles attached, or one swapped during the re-flash wait, the port may lead elsewhere.
bool YMODEM::sameConsole(const QString& phase)
{
    QString serial;
    const bool read = readSerialNumber(&serial);
    if (read && !expectedSerial.isEmpty() && serial == expectedSerial)
        return true;
    QString why;
    if (expectedSerial.isEmpty())
        why = QStringLiteral("no serial number is known for the Users Data in hand");
    else if (!read)
        why = QStringLiteral("serial number unreadable, expected %1").arg(expectedSerial);
    else
        why = QStringLiteral("console %1 is not %2").arg(serial, expectedSerial);
    dropLine();
    fail(ResultCode::WrongConsole, phase, why + QStringLiteral("; nothing changed on it"));
    return false;
}

void YMODEM::yTransmitGetFirmwareVersion()
{
    // Every query reads one console from a clean slate: what an earlier console (or an earlier
    // query of this one) set must not decide this one's update.
    settingsChanged = false;
    versionTooOld = false;
    versionUnreadable = false;
    deviceVersion = 0;
    deviceSerial.clear();
    stillInLoader = false;
    preserveSettings = !rescueRequested;

    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Get Firmware Version.\r\n"));
    yTransmitFlushInput();

    const QByteArray reply = query("VE\r\n", kVersionReplyMs);

    stillInLoader = ConsoleReplies::loaderBeforeUpdate(reply);
    if (stillInLoader) {
        trace(QStringLiteral("Device in DFU Mode, Download User File Aborted\r\n"));
        preserveSettings = false;
        emit enableUpdateSignal(false);
        return;
    }

    // A reply without a version must not pass for one: it would skip both the "too old" check
    // and the migration. An update that keeps the users' data is then refused (rescue works).
    versionUnreadable = !ConsoleReplies::readVersionNumber(reply, deviceVersion);
    if (versionUnreadable) {
        trace(QStringLiteral("Firmware Version unreadable\r\n"));
    } else {
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
    // Per query: a console not asked (no port) is not known to have left its loader, nor to
    // be in it.
    stillInLoader = false;
    pause(kAfterUpdateSettleMs);
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Get Updated Firmware Version.\r\n"));
    yTransmitFlushInput();

    const QByteArray reply = query("VE\r\n", kVersionReplyMs);

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
bool YMODEM::loadFileRequested(bool stoppable)
{
    setStatus(tr("File Loading..."));
    const int sync = syncWithReceiver(stoppable);
    if (sync == ResultCode::StoppedByUser) {
        dropLine();
        fail(ResultCode::StoppedInLoader, phaseName(kLoaderPhase),
             QStringLiteral("stopped on request before the image was sent; the Device waits in "
                            "its loader"));
        return false;
    }
    if (sync != 0) {
        emit yModemResult(sync);
        return false;
    }
    return true;
}

// Waits for the receiver's first request. Returns 0 when the send may start (a request came,
// or ten passes of other bytes went by), CancelledByConsole on CAN CAN, NoAnswerFromConsole
// when no request came within kSyncLimitMs (whatever else came meanwhile) or the port failed
// to read (the line is gone), StoppedByUser on a stop request when stoppable.
int YMODEM::syncWithReceiver(bool stoppable)
{
    QElapsedTimer waited;
    waited.start();
    int passes = 0;
    const auto readFailed = [] {
        trace(QStringLiteral("Serial port read error while waiting for the Device's request\r\n"));
        return ResultCode::NoAnswerFromConsole;
    };
    for (;;) {
        if (stoppable && stopRequested)
            return ResultCode::StoppedByUser;
        if (waited.elapsed() >= TimeScale::ms(kSyncLimitMs)) {
            trace(QStringLiteral("No request from the Device within %1 s\r\n")
                      .arg(TimeScale::ms(kSyncLimitMs) / 1000.0));
            return ResultCode::NoAnswerFromConsole;
        }
        char c = 0;
        if (yTransmitRead(c, 100) < 0)
            return readFailed();
        bool passEnds = true;
        switch (c) {
        case 0:
            qDebug() << "XYMODEM::yTransmit - Waiting Connect...";
            trace(QStringLiteral("XYMODEM::yTransmit - Waiting Connect...\r\n"));
            setStatus(tr("Waiting for Sync..."));
            passes = 0;
            break;
        case kCAN: {
            const int next = yTransmitRead(c, 50);
            if (next < 0)
                return readFailed();
            if (next > 0 && c == kCAN) {
                yTransmitWrite(kACK);
                yTransmitFlushInput();
                qDebug() << "XMODEM::yTransmit - canceled by remote";
                trace(QStringLiteral("XMODEM::yTransmit - canceled by remote\r\n"));
                setStatus(tr("Upload Canceled by Remote"));
                return ResultCode::CancelledByConsole;
            }
            break;
        }
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

// Opens the received users' file under the default connection; a file that cannot be opened
// fails the integrity check that follows.
void YMODEM::openUserDb()
{
    userDb = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"));
    userDb.setDatabaseName(userFilePath);
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
}

// "ok" when SQLite finds the open users' database sound; empty when it gives no row.
QString YMODEM::integrityResult()
{
    QSqlQuery query(QStringLiteral("PRAGMA integrity_check"), userDb);
    qDebug() << "PRAGMA integrity_check";
    const QString result = query.next() ? query.value(0).toString() : QString();
    trace(QStringLiteral("Results = %1\r\n").arg(result));
    qDebug() << "Results =" << result;
    return result;
}

// Steps of the users' data check after the receive: keeps the file as received in keptFolder,
// tests it, migrates it where the release asks for it and closes it. Returns 0 when the file is
// sound, else the result code of the failure (already traced).
int YMODEM::checkAndMigrateUsersFile(const QString& keptFolder)
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

    // The file exactly as it came, before SQLite or any statement has touched it.
    QString why;
    const QString original = UsersDataStore::keepAs(
        userFilePath, keptFolder, UsersDataStore::originalName(info.fileName()), &why);
    if (original.isEmpty()) {
        trace(QStringLiteral("Users Data could not be kept: %1\r\n").arg(why));
        return ResultCode::UserFileNotKept;
    }
    trace(QStringLiteral("Users Data as received kept in %1\r\n").arg(original));

    if (!QFile::setPermissions(userFilePath, kUsersFilePermissions)) {
        qDebug() << "Something wrong!";
        trace(QStringLiteral("setPermissions Failed\r\n"));
    } else {
        trace(QStringLiteral("Setted all permissions to BrenvikDATA successfully\r\n"));
    }

    openUserDb();
    if (!ConsoleReplies::integrityOk(integrityResult())) {
        trace(QStringLiteral("User Settings File Corrupted\r\n"));
        releaseUserDb();
        return ResultCode::UserFileCorrupted;
    }

    QStringList failed;
    if (!settingsChanged) {
        trace(QStringLiteral("Users Settings left untouched\r\n"));
    } else if (queryList) {
        QSqlQuery query(userDb);
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
    emit migrationReport(failed, original);

    // The statements may have left the file unsound; the console must not be erased for it.
    // Checked afresh, as the console will read it: the connection that ran the statements may
    // still hold its own view of the schema.
    releaseUserDb();
    openUserDb();
    const bool sound = ConsoleReplies::integrityOk(integrityResult());
    releaseUserDb();
    if (!sound) {
        trace(QStringLiteral("User Settings File Corrupted by the migration\r\n"));
        return ResultCode::UserFileBrokenByMigration;
    }
    // Closed, the file must stand alone: a journal or WAL beside it would hold part of it.
    for (const char* suffix : {"-journal", "-wal"}) {
        if (QFileInfo::exists(userFilePath + QLatin1String(suffix))) {
            trace(QStringLiteral("%1%2 left beside the User Settings File\r\n")
                      .arg(info.fileName(), QLatin1String(suffix)));
            return ResultCode::UserFileBrokenByMigration;
        }
    }
    return 0;
}

int YMODEM::fetchUsersFile(bool announce)
{
    query("SHELL\r\n", kShellStartMs);

    writeCommand("send file /BrenvikDATA");
    pause(kSendFileEchoMs);
    readReply();

    writeCommand("\r\n");
    pause(kSendFileStartMs);
    readReply();

    releaseUserDb();
    // A file left from an earlier run must never stand in for one that did not come.
    userFilePath.clear();
    userFileTruncated = false;
    {
        QMutexLocker lock(&rxMutex);
        rxCount = 0;
    }
    announceReceivedFile = announce;
    rxCapture = 1;
    const int received = Ymodem_Receive(QString::fromLatin1(kUsersFileName));
    pause(kSenderEndMs);
    rxCapture = 0;
    announceReceivedFile = true;

    writeCommand("\r\n");
    pause(kAfterTransferLineMs);
    leaveShell(kAfterTransferLineMs);
    return received;
}

// The received file is a temporary copy: once the kept copies exist (or could not be made),
// nothing of the users' data stays in the temporary location.
void YMODEM::discardReceivedFile()
{
    if (userFilePath.isEmpty())
        return;
    releaseUserDb();
    for (const char* suffix : {"", "-journal", "-wal", "-shm"})
        QFile::remove(userFilePath + QLatin1String(suffix));
    trace(QStringLiteral("Temporary copy %1 removed\r\n").arg(userFilePath));
    userFilePath.clear();
}

// Phase 1 of an update: the users' data leave the console, are kept as received, checked,
// migrated and kept again, all before the console is changed. False when the update stopped
// (result reported).
bool YMODEM::saveUsersData()
{
    const QString phase = phaseName(kSavePhase);
    setStatus(tr("Saving User Data... Please Wait"));
    trace(QStringLiteral("Saving User Data.\r\n"));

    // Where the file will land must be private before the console is asked for it.
    if (receiveFolderPath().isEmpty()) {
        fail(ResultCode::ReceiveFolderUnavailable, phase,
             QStringLiteral("no private folder for the received file; console left as it was"));
        dropLine();
        return false;
    }
    // Whose data these are: the restore goes back only to this console.
    QString serial;
    if (!readSerialNumber(&serial)) {
        dropLine();
        fail(ResultCode::WrongConsole, phase,
             QStringLiteral("serial number unreadable; console left as it was"));
        return false;
    }
    expectedSerial = serial;
    // The window finds this console again by it after the re-flash.
    emit serialReady(serial);

    fetchUsersFile(true);

    emit readUserDataDone();

    // Only the file asked for may stand for the users' data (the receiver refuses another).
    const QString usersFileName = QString::fromLatin1(kUsersFileName);
    if (!refusedFileName.isEmpty() ||
        (!userFilePath.isEmpty() && QFileInfo(userFilePath).fileName() != usersFileName)) {
        const QString sent =
            refusedFileName.isEmpty() ? QFileInfo(userFilePath).fileName() : refusedFileName;
        trace(QStringLiteral("User Settings File Not Found: the Device sent \"%1\", not \"%2\"\r\n")
                  .arg(sent, usersFileName));
        discardReceivedFile();
        fail(ResultCode::UserFileMissing, phaseName(kCheckPhase),
             QStringLiteral("the Device sent \"%1\" instead of \"%2\"; console left as it was")
                 .arg(sent, usersFileName));
        dropLine();
        return false;
    }

    QString why;
    const QString keptFolder = UsersDataStore::newFolder(serial, &why);
    int checked = ResultCode::UserFileNotKept;
    if (keptFolder.isEmpty())
        trace(QStringLiteral("Users Data could not be kept: %1\r\n").arg(why));
    else
        checked = checkAndMigrateUsersFile(keptFolder);

    // The console's memory is about to be erased: from here on the users' data must live
    // somewhere that outlasts the temporary folder.
    QString kept;
    if (checked == 0) {
        kept = UsersDataStore::keepAs(userFilePath, keptFolder, QFileInfo(userFilePath).fileName(),
                                      &why);
        if (kept.isEmpty())
            checked = ResultCode::UserFileNotKept;
    }
    discardReceivedFile();
    if (checked != 0) {
        fail(checked, phaseName(kCheckPhase),
             why.isEmpty() ? QStringLiteral("console left as it was")
                           : QStringLiteral("Users Data could not be kept: %1; console left as "
                                            "it was")
                                 .arg(why));
        dropLine();
        return false;
    }
    trace(QStringLiteral("Users Data kept in %1\r\n").arg(kept));
    emit putUserSettingPath(kept);
    return true;
}

// A restore that replaces the console's users' file keeps that file first: fetched as the save
// fetches it, kept under a new folder for the console's serial number.
bool YMODEM::keepConsoleCopyBeforeRestore()
{
    const QString phase = phaseName(kKeepBeforeRestorePhase);
    trace(QStringLiteral("Keeping the Users Data of the Device before the restore.\r\n"));
    setStatus(tr("Saving User Data... Please Wait"));
    if (receiveFolderPath().isEmpty()) {
        dropLine();
        fail(ResultCode::ReceiveFolderUnavailable, phase,
             QStringLiteral("no private folder for the received file; nothing removed"));
        return false;
    }

    // The window must not take this file for the one to restore: its path is not announced.
    const int received = fetchUsersFile(false);
    QString why;
    QString kept;
    if (!refusedFileName.isEmpty()) {
        why = QStringLiteral("the Device sent \"%1\", not \"%2\"")
                  .arg(refusedFileName, QString::fromLatin1(kUsersFileName));
    } else if (received != YmodemCode::Done) {
        why = received == YmodemCode::NoSender
                  ? QStringLiteral("the Device sent nothing")
                  : QStringLiteral("the transfer failed (result %1)").arg(received);
    } else if (userFilePath.isEmpty()) {
        // The console refused the request (CAN CAN) or sent an empty batch: it has no such
        // file, so there is nothing to lose.
        trace(QStringLiteral("The Device holds no Users Data: nothing to keep\r\n"));
        return true;
    } else if (userFileTruncated) {
        why = QStringLiteral("the file came shorter than the Device announced");
    } else {
        const QString folder = UsersDataStore::newFolder(expectedSerial, &why);
        if (!folder.isEmpty()) {
            kept = UsersDataStore::keepAs(
                userFilePath, folder,
                UsersDataStore::beforeRestoreName(QString::fromLatin1(kUsersFileName)), &why);
            if (kept.isEmpty())
                QDir().rmdir(folder);
        }
    }
    discardReceivedFile();
    if (kept.isEmpty()) {
        trace(QStringLiteral("Users Data of the Device could not be kept: %1\r\n").arg(why));
        dropLine();
        fail(ResultCode::UserFileNotKept, phase,
             QStringLiteral("%1; nothing removed from the Device").arg(why));
        return false;
    }
    trace(QStringLiteral("Users Data of the Device kept in %1 before the restore\r\n").arg(kept));
    emit consoleCopyKept(kept);
    return true;
}

bool YMODEM::stopIfRequested(int code, const QString& phase, const QString& where)
{
    if (!stopRequested)
        return false;
    dropLine();
    fail(code, phase, QStringLiteral("stopped on request %1").arg(where));
    return true;
}

// Phase 2: the console restarts in its loader and comes back as a new USB device.
bool YMODEM::enterLoader()
{
    if (!rescueRequested)
        preserveSettings = true;
    enterShell();

    trace(QStringLiteral("Deleting last memory sector\r\n"));
    writeCommand("spi delsect 4095\r\n");
    pause(kEraseSectorMs);

    // The ports there are while the console still runs: one that appears after the reset is
    // the console's loader.
    const QStringList portsBefore = portFinder ? portFinder() : QStringList();
    writeCommand("reset\r\n");
    pause(kResetReplyMs);
    readReply();

    if (!reopenAfterReset(portsBefore))
        return false;

    pause(kLoaderSettleMs);
    setStatus(tr("Rebooted in DFU Mode..."));
    pause(kBeforeImageMs);
    return true;
}

// The console drops off the bus on "reset" and comes back as a new device, under the same
// path or, when the old one is still held somewhere, under a new one.
bool YMODEM::reopenAfterReset(const QStringList& portsBefore)
{
    const QString phase = phaseName(kLoaderPhase);
    const QString oldPath = port->portName();
    port->close();
    trace(QStringLiteral("Serial port closed\r\n"));
    pause(kLoaderRebootMs);

    QElapsedTimer waited;
    waited.start();
    for (int attempt = 1;; ++attempt) {
        QString path = oldPath;
        if (!QFileInfo::exists(oldPath) && portFinder) {
            QStringList fresh = portFinder();
            for (const QString& before : portsBefore)
                fresh.removeAll(before);
            if (fresh.size() > 1) {
                fail(ResultCode::ConsoleNotBackFromReset, phase,
                     QStringLiteral("%1 is gone and %2 new ports appeared (%3); none was opened")
                         .arg(oldPath)
                         .arg(fresh.size())
                         .arg(fresh.join(QStringLiteral(", "))));
                dropLine();
                return false;
            }
            if (fresh.size() == 1)
                path = fresh.first();
        }
        if (path != port->portName())
            port->setPortName(path);
        if (port->open(kPortMode)) {
            trace(QStringLiteral("Serial port opened\r\n"));
            if (path != oldPath)
                trace(QStringLiteral("Device came back as %1\r\n").arg(path));
            return true;
        }
        if (attempt == 1)
            trace(QStringLiteral("Serial port open error\r\n"));
        if (waited.elapsed() >= TimeScale::ms(kLoaderReturnLimitMs)) {
            fail(ResultCode::ConsoleNotBackFromReset, phase,
                 QStringLiteral("no port of the Device within %1 s after the reset (%2 tries)")
                     .arg(TimeScale::ms(kLoaderRebootMs + kLoaderReturnLimitMs) / 1000.0)
                     .arg(attempt));
            dropLine();
            return false;
        }
        pause(kReopenRetryMs);
    }
}

void YMODEM::yTransmit(QString filePath)
{
    const QString phase = phaseName(kUpdatePhase);
    if (!port || !port->isOpen()) {
        fail(ResultCode::NoAnswerFromConsole, phase,
             QStringLiteral("Serial port not open, update not started"));
        return;
    }

    stillInLoader = false;

    if (preserveSettings && versionTooOld) {
        fail(ResultCode::VersionTooOld, phase, QStringLiteral("Firmware too old for this release"));
        return;
    }
    if (preserveSettings && versionUnreadable) {
        fail(ResultCode::VersionUnreadable, phase,
             QStringLiteral("Firmware Version unreadable; Users Data cannot be kept safely"));
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

    if (stopIfRequested(ResultCode::StoppedByUser, phase,
                        QStringLiteral("before the update began; the Device was not "
                                       "touched")))
        return;

    // Phase 1: the users' data leave the console and are checked and migrated here.
    if (preserveSettings && !saveUsersData())
        return;

    // A stop asked for meanwhile ends the update while the console still runs its
    // application; the users' data copy is kept.
    if (stopIfRequested(ResultCode::StoppedByUser, phaseName(kLoaderPhase),
                        QStringLiteral("before the loader entry; the Device runs its application, "
                                       "untouched")))
        return;

    // Phase 2: the console restarts in its loader.
    if (!enterLoader())
        return;

    if (stopIfRequested(ResultCode::StoppedInLoader, phaseName(kLoaderPhase),
                        QStringLiteral("before the image was sent; the Device waits in its "
                                       "loader")))
        return;

    // Phase 3: the image goes to the loader (a stop request still ends the wait for its
    // first request).
    if (!loadFileRequested(true))
        return;

    const int result = Ymodem_Transmit(image, QFileInfo(filePath));
    trace(QStringLiteral("Ymodem_Transmit Response: %1\r\n").arg(result));
    dropLine();
    pause(kAfterImageMs);
    emit yModemResult(result);
}

void YMODEM::yTransmitUserSettings(QString filePath)
{
    const QString phase = phaseName(kRestorePhase);
    trace(QStringLiteral("Send User Settings File.\r\n"));
    // Consumed by this call, whatever its outcome.
    const bool keepCopy = keepConsoleCopy;
    keepConsoleCopy = false;

    // The file is read whole before anything is sent: the console's own copy is deleted
    // further down, and a file that cannot be sent must not cost it.
    QString problem;
    QByteArray contents;
    QFile file(filePath);
    if (filePath.isEmpty() || !file.exists())
        problem = QStringLiteral("User Settings File Not Found.");
    else if (file.size() == 0)
        problem = QStringLiteral("User Settings File Empty.");
    else if (QFileInfo::exists(filePath + QStringLiteral("-journal")) ||
             QFileInfo::exists(filePath + QStringLiteral("-wal")))
        problem = QStringLiteral("User Settings File still open (journal beside it).");
    else if (!file.open(QIODevice::ReadOnly))
        problem = QStringLiteral("User Settings File Open Error.");
    else {
        contents = file.readAll();
        if (contents.size() != file.size())
            problem = QStringLiteral("User Settings File Open Error.");
        file.close();
    }
    if (!problem.isEmpty()) {
        writeCommand("\r\n");
        pause(kLeaveShellMs);
        writeCommand("exit\r\n");
        dropLine();
        pause(kAfterExitMs);
        fail(ResultCode::UserFileMissing, phase, problem);
        return;
    }
    // The loader takes whatever is sent to it as its new image.
    if (stillInLoader) {
        fail(ResultCode::DeviceStillInLoader, phase,
             QStringLiteral("Device still in DFU Mode, User Settings File not sent."));
        return;
    }
    if (!sameConsole(phase))
        return;
    if (keepCopy && !keepConsoleCopyBeforeRestore())
        return;

    enterShell();

    writeCommand("rm /BrenvikDATA\r\n");
    pause(kRemoveFileMs);
    readReply();

    writeCommand("receive file\r\n");
    pause(kReceiverStartMs);
    readReply();
    pause(kBeforeSyncMs);

    if (!loadFileRequested(false))
        return;

    const int result = Ymodem_Transmit_User_Data(contents, QFileInfo(filePath));
    trace(QStringLiteral("Ymodem_Transmit_User_Data Response: %1\r\n").arg(result));
    if (result != 0) {
        emit yModemResult(result);
        return;
    }
    leaveShell(kLeaveShellMs);
    pause(kAfterExitMs);
    emit yModemResult(ResultCode::UserSettingsRestored);
}

void YMODEM::deviceRenameBLE_File()
{
    pause(kBeforeRenameMs);
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Rename BLE File Commands.\r\n"));
    yTransmitFlushInput();

    query("SHELL\r\n", kShortReplyMs);
    query("mv /R-BTM093004_.cyacd /R-BTM093004.cyacd\r\n", kShortReplyMs);

    writeCommand("reset\r\n");
    pause(kResetReplyMs);
    readReply();

    dropLine();
    emit shutdownDelayedSignal();
}
