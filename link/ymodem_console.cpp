// Console sequences of the worker: the information queries, the firmware update and the
// restore of the users' data, step by step over the console session (ConsoleSession) and the
// users' data migration (UsersDataMigration). The console has no prompt; replies are delimited
// by fixed waits alone, so every wait below is one the console relies on. All of them go
// through TimeScale so that tests can run the sequences quickly.
#include "consolereplies.h"
#include "consolerestarts.h"
#include "consoletrace.h"
#include "qextserialport.h"
#include "resultcodes.h"
#include "timescale.h"
#include "usersdatamigration.h"
#include "usersdatastore.h"
#include "ymodem.h"
#include "ymodemcode.h"
#include "ymodemline.h"
#include "ymodemsender.h"

#include <QDebug>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QMutexLocker>

namespace
{
const char kCAN = 0x18;
const char kACK = 0x06;
const char kNAK = 0x15;

// Open mode of the port: read-write, unbuffered.
const QIODevice::OpenMode kPortMode = QIODevice::ReadWrite | QIODevice::Unbuffered;

// ---- Waits, in milliseconds before TimeScale ----
// "VE" is answered after the console has read its version from flash.
const int kVersionReplyMs = 1000;
// The query after an update: the console's application settles after the reconnect.
const int kAfterUpdateSettleMs = 500;
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
// Longest a reset waits for other consoles on this computer to come back from theirs.
const int kResetTurnLimitMs = 180000;
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

QString usersFileName()
{
    return QString::fromLatin1(kUsersFileName);
}

// The file to restore, read whole before anything is sent: the console's own copy is deleted
// on the way, and a file that cannot be sent must not cost it. Returns the message that
// refuses the file, empty when it can go.
QString readRestoreFile(const QString& filePath, QByteArray* contents)
{
    QFile file(filePath);
    if (filePath.isEmpty() || !file.exists())
        return QStringLiteral("User Settings File Not Found.");
    if (file.size() == 0)
        return QStringLiteral("User Settings File Empty.");
    // A database still open elsewhere, or left inside a transaction, is not whole without its
    // journal: sent alone, it would replace the console's sound file with a broken one.
    if (!UsersDataMigration::journalBeside(filePath).isEmpty())
        return QStringLiteral("User Settings File still open (journal beside it).");
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("User Settings File Open Error.");
    *contents = file.readAll();
    if (contents->size() != file.size())
        return QStringLiteral("User Settings File Open Error.");
    return QString();
}

int resultOf(UsersDataMigration::Outcome outcome)
{
    switch (outcome) {
    case UsersDataMigration::Outcome::Sound:
        return 0;
    case UsersDataMigration::Outcome::Missing:
    case UsersDataMigration::Outcome::Empty:
        return ResultCode::UserFileMissing;
    case UsersDataMigration::Outcome::Truncated:
    case UsersDataMigration::Outcome::Corrupted:
        return ResultCode::UserFileCorrupted;
    case UsersDataMigration::Outcome::NotKept:
        return ResultCode::UserFileNotKept;
    case UsersDataMigration::Outcome::BrokenByMigration:
        return ResultCode::UserFileBrokenByMigration;
    }
    return ResultCode::UserFileCorrupted;
}
} // namespace

// The common tail of both queries: build version, identity, article and serial number.
void YMODEM::readIdentity(QString version)
{
    const int replyMs = ConsoleSession::kShortReplyMs;
    if (ConsoleReplies::appendBuildVersion(version, session.query("BV\r\n", replyMs)))
        emit versionReady(version);

    QString name, monitor;
    if (ConsoleReplies::identity(session.query("KI\r\n", replyMs), name, monitor)) {
        emit nameReady(name);
        emit monitorID(monitor);
    }

    emit articleReady(ConsoleReplies::article(session.query("CA\r\n", replyMs)));

    QString serial;
    if (ConsoleReplies::serialNumber(session.query("SN\r\n", replyMs), serial)) {
        deviceSerial = serial;
        emit serialReady(serial);
    }
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

    const QByteArray reply = session.query("VE\r\n", kVersionReplyMs);

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
    ConsoleSession::pause(kAfterUpdateSettleMs);
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Get Updated Firmware Version.\r\n"));
    yTransmitFlushInput();

    const QByteArray reply = session.query("VE\r\n", kVersionReplyMs);

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
        session.dropLine();
        session.fail(ResultCode::StoppedInLoader, phaseName(kLoaderPhase),
                     QStringLiteral("stopped on request before the image was sent; the Device "
                                    "waits in its loader"));
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
    YmodemLine line(*this);
    YmodemSender sender(line);
    attachSender(sender, true);
    const auto stop = [this, stoppable] { return stoppable && stopRequested; };
    switch (sender.awaitRequest(TimeScale::ms(kSyncLimitMs), stop)) {
    case YmodemSender::Request::Ready:
        return 0;
    case YmodemSender::Request::Cancelled:
        return ResultCode::CancelledByConsole;
    case YmodemSender::Request::Stopped:
        return ResultCode::StoppedByUser;
    case YmodemSender::Request::ReadFailed:
    case YmodemSender::Request::TimedOut:
        break;
    }
    return ResultCode::NoAnswerFromConsole;
}

int YMODEM::fetchUsersFile(bool announce)
{
    session.query("SHELL\r\n", ConsoleSession::kShellStartMs);

    session.command("send file /BrenvikDATA", kSendFileEchoMs);
    session.command("\r\n", kSendFileStartMs);

    // A file left from an earlier run must never stand in for one that did not come.
    userFilePath.clear();
    userFileTruncated = false;
    {
        QMutexLocker lock(&rxMutex);
        rxCount = 0;
    }
    announceReceivedFile = announce;
    rxCapture = 1;
    const int received = Ymodem_Receive(usersFileName());
    ConsoleSession::pause(kSenderEndMs);
    rxCapture = 0;
    announceReceivedFile = true;

    session.write("\r\n");
    ConsoleSession::pause(kAfterTransferLineMs);
    session.leaveShell(kAfterTransferLineMs);
    return received;
}

QString YMODEM::otherFileSent() const
{
    if (!refusedFileName.isEmpty())
        return refusedFileName;
    const QString received = QFileInfo(userFilePath).fileName();
    return userFilePath.isEmpty() || received == usersFileName() ? QString() : received;
}

// The received file is a temporary copy: once the kept copies exist (or could not be made),
// nothing of the users' data stays in the temporary location.
void YMODEM::discardReceivedFile()
{
    if (userFilePath.isEmpty())
        return;
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
        session.fail(ResultCode::ReceiveFolderUnavailable, phase,
                     QStringLiteral("no private folder for the received file; console left as "
                                    "it was"));
        session.dropLine();
        return false;
    }
    // Whose data these are: the restore goes back only to this console.
    QString serial;
    if (!session.readSerialNumber(&serial)) {
        session.dropLine();
        session.fail(ResultCode::WrongConsole, phase,
                     QStringLiteral("serial number unreadable; console left as it was"));
        return false;
    }
    expectedSerial = serial;
    // The window finds this console again by it after the re-flash.
    emit serialReady(serial);

    fetchUsersFile(true);
    emit readUserDataDone();

    // Only the file asked for may stand for the users' data (the receiver refuses another).
    QString kept, why;
    int checked = ResultCode::UserFileMissing;
    const QString other = otherFileSent();
    if (other.isEmpty()) {
        checked = checkAndKeepUsersFile(serial, &kept, &why);
    } else {
        trace(QStringLiteral("User Settings File Not Found: the Device sent \"%1\", not \"%2\"\r\n")
                  .arg(other, usersFileName()));
        why =
            QStringLiteral("the Device sent \"%1\" instead of \"%2\"").arg(other, usersFileName());
    }
    discardReceivedFile();
    if (checked != 0) {
        const QString untouched = QStringLiteral("console left as it was");
        session.fail(checked, phaseName(kCheckPhase),
                     why.isEmpty() ? untouched : QStringLiteral("%1; %2").arg(why, untouched));
        session.dropLine();
        return false;
    }
    trace(QStringLiteral("Users Data kept in %1\r\n").arg(kept));
    emit putUserSettingPath(kept);
    return true;
}

int YMODEM::checkAndKeepUsersFile(const QString& serial, QString* kept, QString* why)
{
    QString reason;
    const QString keptFolder = UsersDataStore::newFolder(serial, &reason);
    if (keptFolder.isEmpty()) {
        trace(QStringLiteral("Users Data could not be kept: %1\r\n").arg(reason));
        *why = QStringLiteral("Users Data could not be kept: %1").arg(reason);
        return ResultCode::UserFileNotKept;
    }

    UsersDataMigration migration(trace);
    const UsersDataMigration::Outcome outcome =
        migration.run(userFilePath, userFileTruncated, keptFolder,
                      queryList ? *queryList : QStringList(), settingsChanged);
    if (migration.migrationReached())
        emit usersDataNotices->migrationReport(migration.failedStatements(),
                                               migration.originalCopy());
    if (outcome != UsersDataMigration::Outcome::Sound)
        return resultOf(outcome);

    // The console's memory is about to be erased: from here on the users' data must live
    // somewhere that outlasts the temporary folder.
    *kept = UsersDataStore::keepAs(userFilePath, keptFolder, QFileInfo(userFilePath).fileName(),
                                   &reason);
    if (kept->isEmpty()) {
        *why = QStringLiteral("Users Data could not be kept: %1").arg(reason);
        return ResultCode::UserFileNotKept;
    }
    return 0;
}

// A restore that replaces the console's users' file keeps that file first: fetched as the save
// fetches it, kept under a new folder for the console's serial number.
bool YMODEM::keepConsoleCopyBeforeRestore()
{
    const QString phase = phaseName(kKeepBeforeRestorePhase);
    trace(QStringLiteral("Keeping the Users Data of the Device before the restore.\r\n"));
    setStatus(tr("Saving User Data... Please Wait"));
    if (receiveFolderPath().isEmpty()) {
        session.dropLine();
        session.fail(ResultCode::ReceiveFolderUnavailable, phase,
                     QStringLiteral("no private folder for the received file; nothing removed"));
        return false;
    }

    // The window must not take this file for the one to restore: its path is not announced.
    const int received = fetchUsersFile(false);
    if (received == YmodemCode::Done && otherFileSent().isEmpty() && userFilePath.isEmpty()) {
        // The console refused the request (CAN CAN) or sent an empty batch: it has no such
        // file, so there is nothing to lose.
        trace(QStringLiteral("The Device holds no Users Data: nothing to keep\r\n"));
        return true;
    }
    QString why = consoleCopyProblem(received);
    QString kept;
    if (why.isEmpty()) {
        const QString folder = UsersDataStore::newFolder(expectedSerial, &why);
        if (!folder.isEmpty()) {
            kept = UsersDataStore::keepAs(userFilePath, folder,
                                          UsersDataStore::beforeRestoreName(usersFileName()), &why);
            if (kept.isEmpty())
                QDir().rmdir(folder);
        }
    }
    discardReceivedFile();
    if (kept.isEmpty()) {
        trace(QStringLiteral("Users Data of the Device could not be kept: %1\r\n").arg(why));
        session.dropLine();
        session.fail(ResultCode::UserFileNotKept, phase,
                     QStringLiteral("%1; nothing removed from the Device").arg(why));
        return false;
    }
    trace(QStringLiteral("Users Data of the Device kept in %1 before the restore\r\n").arg(kept));
    emit usersDataNotices->consoleCopyKept(kept);
    return true;
}

QString YMODEM::consoleCopyProblem(int received) const
{
    const QString other = otherFileSent();
    if (!other.isEmpty())
        return QStringLiteral("the Device sent \"%1\", not \"%2\"").arg(other, usersFileName());
    if (received == YmodemCode::NoSender)
        return QStringLiteral("the Device sent nothing");
    if (received != YmodemCode::Done)
        return QStringLiteral("the transfer failed (result %1)").arg(received);
    if (userFileTruncated)
        return QStringLiteral("the file came shorter than the Device announced");
    return QString();
}

bool YMODEM::stopIfRequested(int code, const QString& phase, const QString& where)
{
    if (!stopRequested)
        return false;
    session.dropLine();
    session.fail(code, phase, QStringLiteral("stopped on request %1").arg(where));
    return true;
}

// Phase 2: the console restarts in its loader and comes back as a new USB device.
bool YMODEM::enterLoader()
{
    if (!rescueRequested)
        preserveSettings = true;
    session.enterShell();

    trace(QStringLiteral("Deleting last memory sector\r\n"));
    session.write("spi delsect 4095\r\n");
    ConsoleSession::pause(kEraseSectorMs);

    // The ports there are while the console still runs: one that appears after the reset is
    // the console's loader, as long as no other console comes back meanwhile.
    bool waitedOut = false;
    const ConsoleResetTurn turn(restarts, TimeScale::ms(kResetTurnLimitMs), &waitedOut);
    if (waitedOut)
        trace(QStringLiteral("Other Devices still restarting: reset without waiting longer\r\n"));
    const QStringList portsBefore = portFinder ? portFinder() : QStringList();
    session.command("reset\r\n", kResetReplyMs);

    if (!reopenAfterReset(portsBefore))
        return false;

    ConsoleSession::pause(kLoaderSettleMs);
    setStatus(tr("Rebooted in DFU Mode..."));
    ConsoleSession::pause(kBeforeImageMs);
    return true;
}

// The console drops off the bus on "reset" and comes back as a new device, under the same
// path or, when the old one is still held somewhere, under a new one.
bool YMODEM::reopenAfterReset(const QStringList& portsBefore)
{
    const QString oldPath = port->portName();
    port->close();
    trace(QStringLiteral("Serial port closed\r\n"));
    // Beside other consoles the port list is watched while the loader starts: another console
    // back from its own restart meanwhile shows up after this one's loader.
    PortWatch watch;
    for (const QString& p : portsBefore)
        watch.known.insert(p, QFileInfo(p).symLinkTarget());
    const int looks = kLoaderRebootMs / kReopenRetryMs;
    if (restarts) {
        for (int step = 0; step < looks; ++step) {
            ConsoleSession::pause(kReopenRetryMs);
            watchPorts(&watch, step);
        }
    } else {
        ConsoleSession::pause(kLoaderRebootMs);
    }

    QElapsedTimer waited;
    waited.start();
    for (int attempt = 1;; ++attempt) {
        QString path = oldPath;
        QString why;
        if (restarts) {
            watchPorts(&watch, looks + attempt);
            if (!watchedPort(watch, &path, &why))
                return notBackFromReset(why);
        } else if (!QFileInfo::exists(oldPath) && portFinder) {
            QStringList fresh = portFinder();
            for (const QString& before : portsBefore)
                fresh.removeAll(before);
            if (fresh.size() > 1)
                return notBackFromReset(
                    QStringLiteral("%1 is gone and %2 new ports appeared (%3); none was opened")
                        .arg(oldPath)
                        .arg(fresh.size())
                        .arg(fresh.join(QStringLiteral(", "))));
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
        if (waited.elapsed() >= TimeScale::ms(kLoaderReturnLimitMs))
            return notBackFromReset(
                QStringLiteral("no port of the Device within %1 s after the reset (%2 tries)")
                    .arg(TimeScale::ms(kLoaderRebootMs + kLoaderReturnLimitMs) / 1000.0)
                    .arg(attempt));
        ConsoleSession::pause(kReopenRetryMs);
    }
}

void YMODEM::watchPorts(PortWatch* watch, int step)
{
    if (!portFinder)
        return;
    watch->present = portFinder();
    // A port that went away and comes back, or a link that leads to another device now, is a
    // new device: the system hands out the names of devices that are gone (this console's own,
    // or another's that dropped its line).
    for (auto it = watch->known.begin(); it != watch->known.end();) {
        if (!watch->present.contains(it.key()) || QFileInfo(it.key()).symLinkTarget() != it.value())
            it = watch->known.erase(it);
        else
            ++it;
    }
    for (const QString& p : watch->present)
        if (!watch->known.contains(p) && !watch->seenAt.contains(p))
            watch->seenAt.insert(p, step);
}

bool YMODEM::watchedPort(const PortWatch& watch, QString* path, QString* why)
{
    // Of the new ports there now, the one seen first; ports seen at the same look cannot be
    // told apart. None: the console kept its line, or is not back yet.
    QStringList fresh;
    QString first;
    int firstStep = -1;
    bool tied = false;
    for (auto it = watch.seenAt.cbegin(); it != watch.seenAt.cend(); ++it) {
        if (!watch.present.contains(it.key()))
            continue;
        fresh << it.key();
        if (firstStep < 0 || it.value() < firstStep) {
            first = it.key();
            firstStep = it.value();
            tied = false;
        } else if (it.value() == firstStep) {
            tied = true;
        }
    }
    if (tied) {
        *why = QStringLiteral("%1 new ports appeared at once (%2); none was opened")
                   .arg(fresh.size())
                   .arg(fresh.join(QStringLiteral(", ")));
        return false;
    }
    if (!first.isEmpty())
        *path = first;
    return true;
}

bool YMODEM::notBackFromReset(const QString& why)
{
    session.fail(ResultCode::ConsoleNotBackFromReset, phaseName(kLoaderPhase), why);
    session.dropLine();
    return false;
}

bool YMODEM::updateMayStart()
{
    const QString phase = phaseName(kUpdatePhase);
    if (!port || !port->isOpen()) {
        session.fail(ResultCode::NoAnswerFromConsole, phase,
                     QStringLiteral("Serial port not open, update not started"));
        return false;
    }
    stillInLoader = false;
    if (preserveSettings && versionTooOld) {
        session.fail(ResultCode::VersionTooOld, phase,
                     QStringLiteral("Firmware too old for this release"));
        return false;
    }
    if (preserveSettings && versionUnreadable) {
        session.fail(ResultCode::VersionUnreadable, phase,
                     QStringLiteral("Firmware Version unreadable; Users Data cannot be kept "
                                    "safely"));
        return false;
    }
    return true;
}

// The image is read before anything changes on the console: a missing or unreadable image
// then leaves the console running its application.
bool YMODEM::readImage(const QString& filePath, QByteArray* image)
{
    // Workers updating consoles side by side share one copy of the image.
    if (imageSource) {
        *image = imageSource(filePath);
        if (!image->isEmpty())
            return true;
    }
    if (!QFileInfo::exists(filePath)) {
        trace(QStringLiteral("Firmware File Not Found: %1\r\n").arg(filePath));
        emit yModemResult(ResultCode::ImageMissing);
        return false;
    }
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly)) {
        trace(QStringLiteral("Firmware File Open Error: %1\r\n").arg(file.errorString()));
        emit yModemResult(ResultCode::ImageUnreadable);
        return false;
    }
    *image = file.readAll();
    if (image->size() != file.size()) {
        trace(QStringLiteral("Firmware File Read Error: %1\r\n").arg(file.errorString()));
        emit yModemResult(ResultCode::ImageUnreadable);
        return false;
    }
    return true;
}

void YMODEM::yTransmit(QString filePath)
{
    QByteArray image;
    if (!updateMayStart() || !readImage(filePath, &image))
        return;

    if (stopIfRequested(ResultCode::StoppedByUser, phaseName(kUpdatePhase),
                        QStringLiteral("before the update began; the Device was not touched")))
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
    session.dropLine();
    ConsoleSession::pause(kAfterImageMs);
    emit yModemResult(result);
}

void YMODEM::yTransmitUserSettings(QString filePath)
{
    const QString phase = phaseName(kRestorePhase);
    trace(QStringLiteral("Send User Settings File.\r\n"));
    // Consumed by this call, whatever its outcome.
    const bool keepCopy = keepConsoleCopy;
    keepConsoleCopy = false;

    QByteArray contents;
    const QString refused = readRestoreFile(filePath, &contents);
    if (!refused.isEmpty()) {
        session.write("\r\n");
        ConsoleSession::pause(kLeaveShellMs);
        session.write("exit\r\n");
        session.dropLine();
        ConsoleSession::pause(kAfterExitMs);
        qDebug() << phase << "stopped:" << refused;
        trace(refused + QStringLiteral("\r\n"));
        // Not the restore's success code: nothing went back to the console.
        emit yModemResult(ResultCode::UserFileMissing);
        return;
    }
    // The loader takes whatever is sent to it as its new image.
    if (stillInLoader) {
        session.fail(ResultCode::DeviceStillInLoader, phase,
                     QStringLiteral("Device still in DFU Mode, User Settings File not sent."));
        return;
    }
    if (!session.sameConsole(expectedSerial, phase))
        return;
    if (keepCopy && !keepConsoleCopyBeforeRestore())
        return;

    session.enterShell();
    session.command("rm /BrenvikDATA\r\n", kRemoveFileMs);
    session.command("receive file\r\n", kReceiverStartMs);
    ConsoleSession::pause(kBeforeSyncMs);

    if (!loadFileRequested(false))
        return;

    const int result = Ymodem_Transmit_User_Data(contents, QFileInfo(filePath));
    trace(QStringLiteral("Ymodem_Transmit_User_Data Response: %1\r\n").arg(result));
    if (result != 0) {
        emit yModemResult(result);
        return;
    }
    session.leaveShell(kLeaveShellMs);
    ConsoleSession::pause(kAfterExitMs);
    emit yModemResult(ResultCode::UserSettingsRestored);
}

void YMODEM::deviceRenameBLE_File()
{
    ConsoleSession::pause(kBeforeRenameMs);
    if (!port || !port->isOpen())
        return;

    trace(QStringLiteral("Rename BLE File Commands.\r\n"));
    yTransmitFlushInput();

    session.query("SHELL\r\n", ConsoleSession::kShortReplyMs);
    session.query("mv /R-BTM093004_.cyacd /R-BTM093004.cyacd\r\n", ConsoleSession::kShortReplyMs);

    session.command("reset\r\n", kResetReplyMs);

    session.dropLine();
    emit shutdownDelayedSignal();
}
