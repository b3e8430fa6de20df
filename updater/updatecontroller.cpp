#include "updatecontroller.h"

#include "consoletrace.h"
#include "resultcodes.h"
#include "sleepinhibitor.h"
#include "timescale.h"
#include "updateprompts.h"
#include "usersdatastore.h"

#include <QDebug>
#include <QFileInfo>
#include <QLocale>
#include <QTimer>
#include <cmath>

namespace
{
// How often the re-flash wait looks at its clock.
const int rebootTickMs = 20;

void trace(const QString& line)
{
    qDebug().noquote() << line;
    ConsoleTrace::print(line + QLatin1String("\r\n"));
}

// p / 100 × span in floating point, rounded to single precision, then floored.
int share(int percent, int span)
{
    return int(std::floor(float(percent / 100.0 * span)));
}

// Version texts compared as the console and the package write them, with or without the "v".
QString bareVersion(const QString& text)
{
    QString v = text.trimmed();
    if (v.startsWith(QLatin1Char('v'), Qt::CaseInsensitive))
        v.remove(0, 1);
    return v;
}
} // namespace

UpdateController::UpdateController(UpdatePrompts* prompts, PortFinder consolePorts, QObject* parent)
    : QObject(parent), prompts(prompts), consolePorts(std::move(consolePorts)),
      rebootTimer(new QTimer(this))
{
    qRegisterMetaType<UpdateResult>("UpdateResult");
    rebootTimer->setInterval(rebootTickMs);
    connect(rebootTimer, &QTimer::timeout, this, &UpdateController::rebootTick);
}

UpdateController::~UpdateController() = default;

int UpdateController::overallPercent(UpdateMode mode, UpdatePhase phase, int percent)
{
    if (mode == UpdateMode::KeepSettings) {
        switch (phase) {
        case UpdatePhase::NotStarted:
        case UpdatePhase::SavingUsersData:
            return share(percent, 2);
        case UpdatePhase::SendingImage:
            return 2 + share(percent, 58);
        case UpdatePhase::AwaitingReflash:
            return 60 + share(percent, 20);
        case UpdatePhase::Restoring:
            break;
        }
        return 80 + share(percent, 20);
    }
    return phase <= UpdatePhase::SendingImage ? share(percent, 60) : 60 + share(percent, 40);
}

UpdatePhase UpdateController::phase() const
{
    return run ? run->phase : UpdatePhase::NotStarted;
}

UpdateStep UpdateController::step() const
{
    return run ? run->step : UpdateStep::Started;
}

QString UpdateController::runSerial() const
{
    return run ? run->identity.serialNumber : QString();
}

QString UpdateController::runPort() const
{
    return run ? run->port : QString();
}

QString UpdateController::usersDataPath() const
{
    return run ? run->usersData : QString();
}

// ---- The console outside a run ----

void UpdateController::consoleConnected()
{
    if (run)
        return;
    console = Console();
}

void UpdateController::versionReported(const QString& text)
{
    if (!run)
        console.identity.firmwareVersion = text;
    else if (run->step >= UpdateStep::FindingConsole)
        run->versionAfter = text;
}

void UpdateController::serialReported(const QString& serial)
{
    if (!run) {
        console.identity.serialNumber = serial;
        return;
    }
    // While the updated console is looked for, each candidate's answer is only compared.
    if (run->hunting) {
        run->candidateSerial = serial;
        return;
    }
    // The worker asks the console again right before it takes the users' data: those data
    // are this console's, and it is the one to find again after the re-flash.
    if (run->step == UpdateStep::Started && !run->restoreOnly && run->restore.usersFile.isEmpty())
        run->identity.serialNumber = serial;
}

void UpdateController::articleReported(const QString& text)
{
    if (!run)
        console.identity.articleNumber = text;
}

void UpdateController::nameReported(const QString& text)
{
    if (!run)
        console.identity.deviceName = text;
}

void UpdateController::monitorReported(const QString& text)
{
    if (!run)
        console.identity.monitorId = text;
}

// A journal's users' data may go back only to a console that has lost its own: one whose
// image was sent and that no longer runs the firmware it had before that update.
bool UpdateController::journalUsable(const UpdateJournal::Entry& entry,
                                     const QString& consoleVersion) const
{
    if (entry.phase < UpdateJournal::ImageSent)
        return false;
    const QString now = bareVersion(consoleVersion);
    if (!releaseFull.isEmpty() && now == bareVersion(releaseFull))
        return true;
    // A console whose version cannot be read cannot show that it lost its data.
    return !now.isEmpty() && now != bareVersion(entry.identity.firmwareVersion);
}

bool UpdateController::pendingRestore(UpdateJournal::Entry* found, bool closeSuperseded) const
{
    const QString serial = console.identity.serialNumber.trimmed();
    if (serial.isEmpty())
        return false;
    const UpdateJournal journals;
    if (!UpdateJournal::findUnfinished(serial, found, journals.directory()))
        return false;

    // A later update of this console that ended well has put its data in place since.
    const QDateTime success = UpdateJournal::lastSuccess(serial, journals.directory());
    const bool superseded = success.isValid() && success > found->started;
    if (!superseded && journalUsable(*found, console.identity.firmwareVersion))
        return true;
    if (!closeSuperseded)
        return false;
    trace(QStringLiteral("Unfinished update %1 %2; its Users Data stay kept in %3")
              .arg(found->path,
                   superseded ? QStringLiteral("superseded by a later update")
                              : QStringLiteral("did not change the Device"),
                   found->usersFile));
    if (superseded) {
        UpdateJournal closed(journals.directory());
        if (!closed.resume(*found) || !closed.finish(false))
            trace(QStringLiteral("Update journal not written: ") + closed.errorString());
    }
    return false;
}

bool UpdateController::offerPendingRestore()
{
    UpdateJournal::Entry found;
    if (isBusy() || !pendingRestore(&found, true))
        return false;
    const QString serial = console.identity.serialNumber.trimmed();
    const UpdateJournal journals;

    trace(QStringLiteral("Unfinished update found: ") + found.path);
    const bool yes = prompts->ask(
        tr("Restore Users Data"),
        tr("An earlier update of the Device with serial number %1 did not complete.\n"
           "Its Users Settings and Data, saved on %2, are kept in:\n%3\n\n"
           "The Users Settings and Data now on the Device will be replaced by them; a copy of "
           "those is kept first in:\n%4\n\nSend them back to the Device now?")
            .arg(serial, QLocale().toString(found.updated.toLocalTime(), QLocale::ShortFormat),
                 found.usersFile, UsersDataStore::folder()));
    if (!yes) {
        // Declined in a question that named the kept file: the journal has done its work. The
        // file itself stays where it is.
        trace(QStringLiteral("Restore of saved Users Data declined: ") + found.usersFile);
        UpdateJournal declined(journals.directory());
        if (!declined.resume(found) || !declined.finish(false))
            trace(QStringLiteral("Update journal not written: ") + declined.errorString());
        return false;
    }
    startRestore(found);
    return run != nullptr;
}

bool UpdateController::offerRescueRestore()
{
    // A console in its loader does not tell its serial number: the newest unfinished run of
    // any console is offered, with the serial number it had, for the user to judge. The
    // restore itself goes only to the console with that serial number.
    UpdateJournal::Entry found;
    const UpdateJournal journals;
    if (!UpdateJournal::findRescuable(QString(), UsersDataStore::folder(), &found,
                                      journals.directory()))
        return false;

    const QString serial =
        found.identity.serialNumber.isEmpty() ? tr("unknown") : found.identity.serialNumber;
    trace(QStringLiteral("Unfinished update found: ") + found.path);
    const bool yes = prompts->ask(
        tr("Restore Users Data"),
        tr("Found Monitor in waiting state: an earlier update did not complete.\n"
           "The Users Settings and Data saved on %1 from the Device with serial number %2 are "
           "kept in:\n%3\n\nUpdate the Device now and put them back afterwards?")
            .arg(QLocale().toString(found.updated.toLocalTime(), QLocale::ShortFormat), serial,
                 found.usersFile));
    if (!yes) {
        trace(QStringLiteral("Restore of saved Users Data declined"));
        return false;
    }
    trace(QStringLiteral("Saved Users Data will be restored: ") + found.usersFile);
    console.rescueRestore = found;
    return true;
}

// ---- A run ----

bool UpdateController::start(const QString& port, const QString& firmwarePath, bool rescue)
{
    if (isBusy()) {
        trace(QStringLiteral("Update already running: request ignored"));
        return false;
    }
    if (!beginRun(port, rescue))
        return false;
    emit preserveSettings(!rescue);
    // A stop asked of an earlier run must not stop this one.
    emit stopWorker(false);
    sequencePending = true;
    emit transmit(firmwarePath);
    return true;
}

bool UpdateController::beginRun(const QString& port, bool rescue)
{
    run.reset(new Run);
    run->port = port;
    run->rescue = rescue;
    run->identity = console.identity;
    // A rescue that restores a journal's data is for the console named in it.
    if (rescue && !console.rescueRestore.usersFile.isEmpty()) {
        run->restore = console.rescueRestore;
        run->identity.serialNumber = run->restore.identity.serialNumber;
    }
    console.rescueRestore = UpdateJournal::Entry();

    // Without its journal a run cut off half way could not be recovered: refused before the
    // console is touched.
    const bool written = run->restore.usersFile.isEmpty()
                             ? run->journal.begin(run->identity, releaseFull)
                             : run->journal.resume(run->restore);
    if (!written) {
        const QString why = run->journal.errorString();
        trace(QStringLiteral("Update journal not written: ") + why);
        finish(RunResult::JournalNotWritten,
               tr("The update journal could not be written:\n%1\nNothing was changed on the "
                  "Device.")
                   .arg(why),
               false);
        return false;
    }
    run->inhibitor = new SleepInhibitor(this);
    run->inhibitor->acquire(tr("Updating the firmware of the Brenvik console"));
    return true;
}

void UpdateController::startRestore(const UpdateJournal::Entry& entry)
{
    // The run is the journal's: its serial number, its users' data.
    console.rescueRestore = entry;
    if (!beginRun(QString(), true))
        return;
    run->rescue = false;
    run->restoreOnly = true;
    run->usersData = entry.usersFile;
    // The console still holds data of its own: they are kept before they are replaced.
    emit keepConsoleCopy(true);
    sendUsersData();
}

void UpdateController::requestStop()
{
    if (!run)
        return;
    if (run->step < UpdateStep::ImageSent) {
        // The worker stops before the loader entry or before the image, whichever comes next.
        trace(QStringLiteral("Update stop requested by the user"));
        run->stopRequested = true;
        emit stopWorker(true);
        return;
    }
    // The image is in: the users' data go back when the console is connected again.
    rebootTimer->stop();
    trace(QStringLiteral("Update abandoned by the user"));
    finish(ResultCode::StoppedByUser, QString(), true);
}

QString UpdateController::notes() const
{
    QString text;
    if (!run->failedStatements.isEmpty()) {
        text = tr("\n\nThese Users Settings update statements failed:");
        for (const QString& statement : run->failedStatements)
            text += QLatin1Char('\n') + statement;
        if (!run->originalCopy.isEmpty())
            text += tr("\nThe Users Settings and Data as they were before the update are kept "
                       "in:\n%1")
                        .arg(run->originalCopy);
    }
    if (!run->consoleCopy.isEmpty())
        text += tr("\n\nThe Users Settings and Data the Device held before the restore are kept "
                   "in:\n%1")
                    .arg(run->consoleCopy);
    return text;
}

void UpdateController::finish(int code, const QString& detail, bool tellKeptCopy)
{
    if (!run)
        return;
    rebootTimer->stop();
    UpdateResult result;
    result.code = code;
    result.step = run->step;
    result.detail = detail;
    result.notes = notes();
    // Once the console's memory may have been erased, the kept copy is all there is.
    if (tellKeptCopy && UsersDataStore::isKeptCopy(run->usersData))
        result.keptCopy = run->usersData;
    if (!result.keptCopy.isEmpty())
        trace(QStringLiteral("Users Data kept in ") + result.keptCopy);
    if (code == 0) {
        run->journal.finish(true);
    } else if (run->journal.isOpen()) {
        // Once the users' data were saved the console may have lost them: the journal stays
        // open on disk so that they are offered back.
        const UpdateJournal::Entry& e = run->journal.entry();
        if (e.phase >= UpdateJournal::UsersDataSaved && !e.usersFile.isEmpty() &&
            e.phase < UpdateJournal::Restored)
            trace(QStringLiteral("Update journal left unfinished: ") + e.path);
        else
            run->journal.finish(false, code);
    }
    if (run->inhibitor) {
        run->inhibitor->release();
        run->inhibitor->deleteLater();
    }
    trace(QStringLiteral("Update ended: result %1").arg(code));
    run.reset();
    emit finished(result);
}

void UpdateController::journalResult(int res)
{
    switch (res) {
    case ResultCode::ImageSent:
        run->journal.setPhase(UpdateJournal::ImageSent);
        break;
    case ResultCode::UserSettingsRestored:
        run->journal.setPhase(UpdateJournal::Restored);
        break;
    default:
        break;
    }
}

bool UpdateController::portStateChanged(PortState state)
{
    if (!run || state != PortState::OpenFailed)
        return false;
    // A console that is not (or no longer) there while the updated one is looked for: the
    // next one is tried, and the end of the search says what was not found.
    if (run->hunting) {
        trace(QStringLiteral("Could not open ") + run->candidatePort);
        const QString port = run->candidatePort;
        int& retries = run->openRetries[port];
        if (retries < busyPortRetries && QFileInfo::exists(port)) {
            ++retries;
            run->candidates.append(port);
            QTimer::singleShot(TimeScale::ms(BusyPortRetryMs), this, [this] {
                if (run && run->hunting)
                    tryNextCandidate();
            });
            return true;
        }
        tryNextCandidate();
        return true;
    }
    // A reconnection inside the run that fails (the cable pulled while the console re-flashes
    // or restarts) ends the run: nothing else would tell the user where the users' data are.
    trace(QStringLiteral("Update ended: the Device could not be reached"));
    QMetaObject::invokeMethod(
        this, [this] { finish(ResultCode::NoAnswerFromConsole, QString(), true); },
        Qt::QueuedConnection);
    return false;
}

void UpdateController::usersDataPathReported(const QString& path)
{
    if (!run || !UsersDataStore::isKeptCopy(path))
        return;
    // The worker names the kept copy once it is safe: it is this run's.
    run->usersData = path;
    run->step = UpdateStep::UsersDataKept;
    // Labelled with the console the data were taken from, as the worker read it then.
    if (run->journal.isOpen())
        run->journal.setUsersFile(path, run->identity.serialNumber);
}

void UpdateController::usersDataRead()
{
    if (run)
        run->phase = UpdatePhase::SendingImage;
}

void UpdateController::migrationReported(const QStringList& failed, const QString& originalCopy)
{
    if (!run)
        return;
    run->failedStatements = failed;
    run->originalCopy = originalCopy;
}

void UpdateController::consoleCopyKept(const QString& path)
{
    // The final text names it.
    if (run)
        run->consoleCopy = path;
}

QString UpdateController::failureText(int res) const
{
    const QString serial = run->identity.serialNumber;
    switch (res) {
    case ResultCode::ImageMissing:
        return tr("The firmware image could not be found.\nNothing was changed on the Device.");
    case ResultCode::ImageUnreadable:
        return tr("The firmware image could not be read.\nNothing was changed on the Device.");
    case ResultCode::UserFileMissing:
        return tr("User Settings File Not Found.\nPlease Repeat all the Procedure!");
    case ResultCode::UserFileCorrupted:
        return tr("User Settings File Corrupted.\nPlease Repeat all the Procedure!");
    case ResultCode::VersionTooOld:
        return tr("This Release is NOT Compatible with current Version.\nPlease Upgrade "
                  "Q-Solenza with a Previous Version");
    case ResultCode::UserFileNotKept:
        return tr("User Settings File could not be saved on this computer.\nThe Device has not "
                  "been changed.\nPlease check the free disk space and Repeat all the "
                  "Procedure!");
    case ResultCode::DeviceStillInLoader:
        return tr("The Device did not restart after the Update.\nUser Settings were not sent to "
                  "it.");
    case ResultCode::WrongConsole:
        // Refused before the users' data were taken, or before they were sent back: either
        // way nothing was changed on the console on the port.
        return serial.isEmpty()
                   ? tr("The serial number of the Device could not be read.\nNothing was changed "
                        "on the Device.")
                   : tr("The connected Device could not be confirmed as the Device with serial "
                        "number %1 (its serial number differs or could not be read).\nNothing "
                        "was changed on it.")
                         .arg(serial);
    case ResultCode::UserFileBrokenByMigration:
        return tr("The Users Settings and Data did not survive their update for the new "
                  "firmware.\nThe Device has not been changed.\nThe Users Settings and Data as "
                  "they were are kept in:\n%1")
            .arg(run->originalCopy);
    case ResultCode::VersionUnreadable:
        return tr("The firmware version of the Device could not be read.\nNothing was changed "
                  "on the Device.\nReconnect the Device and try again, or use Rescue Mode (the "
                  "Users Settings and Data will be lost).");
    case ResultCode::ConsoleNotBackFromReset:
        return tr("The Device did not come back after its restart.\nIt waits in its loader: "
                  "reconnect it and run the Update again.");
    case ResultCode::ReceiveFolderUnavailable:
        return tr("The Users Settings and Data could not be received: no private folder could be "
                  "made on this computer.\nThe Device has not been changed.");
    case ResultCode::StoppedByUser:
        return tr("The Update was stopped before the Device was changed.\nIts Users Settings and "
                  "Data are still on it.");
    case ResultCode::StoppedInLoader:
        return tr("The Update was stopped with the Device in its loader.\nRun the Update again "
                  "to bring it back.");
    default:
        return QString();
    }
}

void UpdateController::workerResult(int res)
{
    if (!run) {
        // The report of a sequence whose run has ended: not acted on.
        if (sequencePending) {
            sequencePending = false;
            trace(QStringLiteral("Result of the abandoned update not acted on"));
        }
        return;
    }
    if (res == ResultCode::DeviceDataRead && run->hunting && !candidateAnswered())
        return;
    sequencePending = false;
    journalResult(res);
    if (res > 0) {
        prompts->showResultMessage(tr("Transfer Failed with error %1").arg(res), false);
        finish(res, QString(), true);
        return;
    }
    switch (res) {
    case ResultCode::ImageSent:
        prompts->showResultMessage(tr("Transfer successfully terminated!"), true);
        emit barReset();
        run->step = UpdateStep::ImageSent;
        if (run->stopRequested) {
            // Asked to stop too late for the worker to see it: the image is in, the users'
            // data go back when the console is connected again.
            finish(ResultCode::StoppedByUser, QString(), true);
            return;
        }
        run->phase = UpdatePhase::AwaitingReflash;
        rebootClock.start();
        rebootTimer->start();
        rebootTick();
        return;
    case ResultCode::CancelledByConsole:
        prompts->showResultMessage(tr("Transfer Aborted by User"), false);
        emit barReset();
        finish(res, QString(), true);
        return;
    case ResultCode::UserSettingsRestored:
        prompts->showResultMessage(tr("Transfer successfully terminated!"), true);
        emit barReset();
        run->step = UpdateStep::DataRestored;
        connectRunPort();
        sequencePending = true;
        emit renameModule();
        return;
    case ResultCode::DeviceDataRead:
        afterUpdateRead();
        return;
    case ResultCode::NoAnswerFromConsole:
        prompts->showResultMessage(tr("Transfer Failed: the Device did not answer"), false);
        emit barReset();
        finish(res, QString(), true);
        return;
    default:
        break;
    }
    const QString text = failureText(res);
    if (text.isEmpty()) {
        prompts->showResultMessage(tr("Transfer Aborted by Device!"), false);
        emit barReset();
    }
    // A version error leaves the console as it was.
    finish(res, text, res != ResultCode::VersionTooOld);
}

void UpdateController::renameDone()
{
    if (!run) {
        workerResult(0); // clears a pending report of an ended run
        return;
    }
    sequencePending = false;
    run->step = UpdateStep::Done;
    finish(0, QString(), false);
}

// ---- The re-flash wait and the console found again ----

void UpdateController::rebootTick()
{
    if (!run)
        return;
    // Tests shorten the wait; the dialog and the bar still count the full 50 s.
    const qint64 realTotal = TimeScale::ms(RebootWaitMs);
    const int elapsed =
        int(qMin<qint64>(RebootWaitMs, rebootClock.elapsed() * RebootWaitMs / realTotal));
    emit rebootWaitProgress(elapsed);
    emit percentChanged(int(qint64(elapsed) * 100 / RebootWaitMs));
    if (elapsed < RebootWaitMs)
        return;
    rebootTimer->stop();
    emit rebootWaitProgress(-1);
    run->phase = UpdatePhase::Restoring;
    run->step = UpdateStep::FindingConsole;
    findUpdatedConsole();
}

void UpdateController::findUpdatedConsole()
{
    // Without the serial number of the console the run began with there is nothing to tell the
    // consoles apart by: the port of the run is taken as it is, and the worker refuses to
    // change the users' data of a console it cannot identify.
    if (run->identity.serialNumber.isEmpty()) {
        connectRunPort();
        sequencePending = true;
        emit readUpdatedConsole();
        return;
    }
    // Every console the system lists now, the port the run used first: a console that came
    // back under the same path is found at the first try.
    run->candidates = consolePorts ? consolePorts() : QStringList();
    if (run->candidates.removeAll(run->port) > 0)
        run->candidates.prepend(run->port);
    run->hunting = true;
    tryNextCandidate();
}

void UpdateController::tryNextCandidate()
{
    // Leaves the console tried last, if any.
    emit disconnectPort();
    const QString serial = run->identity.serialNumber;
    if (run->candidates.isEmpty()) {
        run->hunting = false;
        trace(QStringLiteral("Device %1 not found after the Update").arg(serial));
        finish(ResultCode::NoAnswerFromConsole,
               tr("The Device with serial number %1 was not found after the Update.\nNo other "
                  "Device was changed.\nConnect that Device and restart the updater to restore "
                  "its Users Settings.")
                   .arg(serial),
               true);
        return;
    }
    run->candidatePort = run->candidates.takeFirst();
    run->candidateSerial.clear();
    trace(QStringLiteral("Looking for Device %1 on %2").arg(serial, run->candidatePort));
    sequencePending = true;
    emit connectTo(run->candidatePort);
    emit readUpdatedConsole();
}

bool UpdateController::candidateAnswered()
{
    const QString serial = run->identity.serialNumber.trimmed();
    if (run->candidateSerial.trimmed() == serial) {
        run->hunting = false;
        run->port = run->candidatePort;
        trace(QStringLiteral("Device %1 found on %2").arg(serial, run->port));
        return true;
    }
    trace(
        QStringLiteral("Device on %1 is %2, not %3")
            .arg(run->candidatePort,
                 run->candidateSerial.isEmpty() ? QStringLiteral("unknown") : run->candidateSerial,
                 serial));
    // The version a wrong console reported is not the updated one's.
    run->versionAfter.clear();
    tryNextCandidate();
    return false;
}

bool UpdateController::imageNotTaken() const
{
    // Only a console that answered in its application can say; one still in its loader is
    // refused by the worker.
    const QString after = bareVersion(run->versionAfter);
    const QString before = bareVersion(run->identity.firmwareVersion);
    if (after.isEmpty() || before.isEmpty() || run->rescue)
        return false;
    return after == before && after != bareVersion(releaseFull);
}

void UpdateController::afterUpdateRead()
{
    if (imageNotTaken()) {
        trace(QStringLiteral("The Device still reports %1 after the Update: image not taken")
                  .arg(run->versionAfter));
        finish(RunResult::ImageNotTaken,
               tr("The Device did not take the new firmware: it still reports version %1.\nIts "
                  "Users Settings and Data were not changed.")
                   .arg(run->versionAfter),
               true);
        return;
    }
    if (!run->rescue) {
        sendUsersData();
        return;
    }
    if (!run->restore.usersFile.isEmpty()) {
        run->usersData = run->restore.usersFile;
        sendUsersData();
        return;
    }
    connectRunPort();
    run->step = UpdateStep::DataRestored;
    sequencePending = true;
    emit renameModule();
}

void UpdateController::sendUsersData()
{
    if (!run)
        return;
    const QString path = run->usersData;
    trace(QStringLiteral("Settings Path Name : ") + path);
    if (!path.contains(QLatin1String("BrenvikDATA"))) {
        finish(ResultCode::UserFileMissing, tr("User Settings File Not Found"), true);
        return;
    }
    run->step = UpdateStep::RestoringData;
    run->phase = UpdatePhase::Restoring;
    run->journal.setPhase(UpdateJournal::Restoring);
    connectRunPort();
    // Only the console the users' data came from may receive them.
    emit expectedSerial(run->identity.serialNumber);
    sequencePending = true;
    emit transmitUsersData(path);
}

void UpdateController::connectRunPort()
{
    emit connectTo(run->port);
}
