#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "consoletrace.h"
#include "resultcodes.h"
#include "sleepinhibitor.h"
#include "timescale.h"
#include "usersdatastore.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <cmath>

// The window's side of the update run: transfer results, progress, the re-flash wait, the
// rescue mode and the user-settings restore.

namespace
{
// How often the re-flash wait looks at its clock and serves events meanwhile.
const int rebootTickMs = 20;

void trace(const QString& line)
{
    ConsoleTrace::print(line + QLatin1String("\r\n"));
}

// p / 100 × span in floating point, rounded to single precision, then floored.
int share(int percent, int span)
{
    return int(std::floor(float(percent / 100.0 * span)));
}

// Serves events for about ms milliseconds without spinning.
void serveEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}
} // namespace

int MainWindow::overallPercent(int mode, int phase, int percent)
{
    if (mode == ModeKeepSettings) {
        switch (phase) {
        case 0:
        case 1:
            return share(percent, 2);
        case 2:
            return 2 + share(percent, 58);
        case 3:
            return 60 + share(percent, 20);
        default:
            return 80 + share(percent, 20);
        }
    }
    return phase <= 2 ? share(percent, 60) : 60 + share(percent, 40);
}

void MainWindow::transferProgress(int percent)
{
    ui->firmwareBar->setValue(overallPercent(updateMode, updatePhase, percent) * 10);
}

// From the moment an update is asked for until it ends, closing the window must not quit in
// the middle of a flash. The start-up window holds this page, so its close is watched here.
void MainWindow::watchUpdateRun()
{
    if (runWatched)
        return;
    runWatched = true;
    window()->installEventFilter(this);
    // Whoever asks the worker for an update starts a run.
    connect(this, &MainWindow::yTransmit, this, [this] { updateRunning = true; });
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Close && watched == window() && updateRunning) {
        if (!askAbort()) {
            event->ignore();
            return true;
        }
        tellWhereUsersDataAre();
        QCoreApplication::quit();
    }
    return QWidget::eventFilter(watched, event);
}

bool MainWindow::askAbort()
{
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Cancel"), tr("Are you sure you want to abort the procedure?"),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer == QMessageBox::Yes) {
        qDebug() << "Yes was clicked";
        trace(QStringLiteral("Yes was clicked"));
        return true;
    }
    qDebug() << "Yes was *not* clicked";
    trace(QStringLiteral("No was clicked"));
    return false;
}

// Once the console's memory has been erased, the kept copy of the users' data is all there is:
// whoever ends the run without restoring it is told where it is.
void MainWindow::tellWhereUsersDataAre()
{
    if (!UsersDataStore::isKeptCopy(userSettingsPath))
        return;
    trace(QStringLiteral("Users Data kept in ") + userSettingsPath);
    QMessageBox::warning(this, tr("Users Data"),
                         tr("The Update did not complete.\nThe Users Settings and Data of the "
                            "Device are kept in:\n%1\nKeep this file: it is needed to restore "
                            "them.")
                                 .arg(userSettingsPath) +
                             failedStatementsText());
}

QString MainWindow::failedStatementsText() const
{
    if (failedStatements.isEmpty())
        return QString();
    QString text = tr("\n\nThese Users Settings update statements failed:");
    for (const QString& statement : failedStatements)
        text += QLatin1Char('\n') + statement;
    if (!originalCopyPath.isEmpty())
        text += tr("\nThe Users Settings and Data as they were before the update are kept in:\n%1")
                    .arg(originalCopyPath);
    return text;
}

void MainWindow::endRun(bool failed)
{
    updateRunning = false;
    hunting = false;
    if (failed)
        tellWhereUsersDataAre();
}

void MainWindow::failWithBox(const QString& text, bool consoleChanged)
{
    QMessageBox::critical(this, tr("Error"), text);
    endRun(consoleChanged);
}

void MainWindow::migrationReportSlot(const QStringList& failed, const QString& originalCopy)
{
    failedStatements = failed;
    originalCopyPath = originalCopy;
}

void MainWindow::abandonRun()
{
    const bool wasRunning = updateRunning;
    tellWhereUsersDataAre();
    if (!wasRunning)
        return;
    trace(QStringLiteral("Update abandoned by the user"));
    updateRunning = false;
    hunting = false;
    // The sequence the worker is in cannot be stopped half way; what it reports is recorded in
    // the journal but not acted on.
    runAbandoned = true;
    abandonedToldPath = userSettingsPath;
}

void MainWindow::yModemResult(int res)
{
    if (runAbandoned) {
        endAbandonedSequence();
        return;
    }
    if (res == ResultCode::DeviceDataRead && hunting && !candidateAnswered())
        return;
    if (res > 0) {
        showResultMessage(tr("Transfer Failed with error %1").arg(res), false);
        endRun(true);
        return;
    }

    switch (res) {
    case ResultCode::ImageSent:
        showResultMessage(tr("Transfer successfully terminated!"), true);
        ui->firmwareBar->setValue(0);
        rebootWait();
        break;
    case ResultCode::CancelledByConsole:
        showResultMessage(tr("Transfer Aborted by User"), false);
        ui->firmwareBar->setValue(0);
        endRun(true);
        break;
    case ResultCode::UserSettingsRestored:
        showResultMessage(tr("Transfer successfully terminated!"), true);
        ui->firmwareBar->setValue(0);
        connectRunPort();
        emit renameBLE_File();
        break;
    case ResultCode::DeviceDataRead:
        if (!ui->rescueMode->isChecked()) {
            emit setUserSettings();
        } else if (!restoreAfterRescue()) {
            refreshSerialDevices(false);
            connectRunPort();
            emit renameBLE_File();
        }
        break;
    case ResultCode::UserFileMissing:
        QMessageBox::critical(
            this, tr("Error"),
            tr("User Settings File Not Found.\nPlease Repeat all the Procedure!"));
        endRun(true);
        break;
    case ResultCode::UserFileCorrupted:
        QMessageBox::critical(
            this, tr("Error"),
            tr("User Settings File Corrupted.\nPlease Repeat all the Procedure!"));
        endRun(true);
        break;
    case ResultCode::VersionTooOld:
        QMessageBox::critical(this, tr("Version Error"),
                              tr("This Release is NOT Compatible with current Version.\nPlease "
                                 "Upgrade Q-Solenza with a Previous Version"));
        endRun(false);
        QCoreApplication::quit();
        break;
    case ResultCode::NoAnswerFromConsole:
        showResultMessage(tr("Transfer Failed: the Device did not answer"), false);
        ui->firmwareBar->setValue(0);
        endRun(true);
        break;
    case ResultCode::UserFileNotKept:
        QMessageBox::critical(this, tr("Error"),
                              tr("User Settings File could not be saved on this computer.\nThe "
                                 "Device has not been changed.\nPlease check the free disk space "
                                 "and Repeat all the Procedure!"));
        endRun(false);
        break;
    case ResultCode::DeviceStillInLoader:
        QMessageBox::critical(this, tr("Error"),
                              tr("The Device did not restart after the Update.\nUser Settings "
                                 "were not sent to it."));
        endRun(true);
        break;
    case ResultCode::WrongConsole:
        // Refused before the users' data were taken, or before they were sent back: either way
        // nothing was changed on the console on the port.
        failWithBox(runSerial.isEmpty()
                        ? tr("The serial number of the Device could not be read.\nNothing was "
                             "changed on the Device.")
                        : tr("The connected Device could not be confirmed as the Device with "
                             "serial number %1 (its serial number differs or could not be "
                             "read).\nNothing was changed on it.")
                              .arg(runSerial),
                    updatePhase >= 3);
        break;
    case ResultCode::UserFileBrokenByMigration:
        failWithBox(tr("The Users Settings and Data did not survive their update for the new "
                       "firmware.\nThe Device has not been changed.\nThe Users Settings and Data "
                       "as they were are kept in:\n%1")
                            .arg(originalCopyPath) +
                        failedStatementsText(),
                    false);
        break;
    case ResultCode::VersionUnreadable:
        failWithBox(tr("The firmware version of the Device could not be read.\nNothing was "
                       "changed on the Device.\nReconnect the Device and try again, or use Rescue "
                       "Mode (the Users Settings and Data will be lost)."),
                    false);
        break;
    case ResultCode::ConsoleNotBackFromReset:
        failWithBox(tr("The Device did not come back after its restart.\nIt waits in its "
                       "loader: reconnect it and run the Update again."),
                    true);
        break;
    case ResultCode::ReceiveFolderUnavailable:
        failWithBox(tr("The Users Settings and Data could not be received: no private folder "
                       "could be made on this computer.\nThe Device has not been changed."),
                    false);
        break;
    default:
        showResultMessage(tr("Transfer Aborted by Device!"), false);
        ui->firmwareBar->setValue(0);
        endRun(true);
        break;
    }
}

void MainWindow::rebootWait()
{
    updatePhase = 3;
    int elapsed = 0;
    bool aborted = false;
    // Tests shorten the wait; the dialog and the bar still count the full 50 s.
    const qint64 realTotal = TimeScale::ms(RebootWaitMs);
    QElapsedTimer clock;
    clock.start();
    auto nominalElapsed = [&] {
        return int(qMin<qint64>(RebootWaitMs, clock.elapsed() * RebootWaitMs / realTotal));
    };

    for (;;) {
        auto* dialog = new QProgressDialog(tr("Firmware Update in progress..."), tr("Cancel"), 0,
                                           RebootWaitMs, this);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setMinimumDuration(0);
        dialog->setValue(elapsed);
        rebootDialog = dialog;

        bool cancelled = false;
        while (elapsed < RebootWaitMs) {
            dialog->setValue(elapsed);
            elapsed = nominalElapsed();
            transferProgress(int(qint64(elapsed) * 100 / RebootWaitMs));
            if (dialog->wasCanceled()) {
                cancelled = true;
                break;
            }
            serveEvents(rebootTickMs);
        }
        dialog->setValue(RebootWaitMs);
        dialog->deleteLater();

        if (!cancelled || elapsed >= RebootWaitMs)
            break;
        if (askAbort()) {
            tellWhereUsersDataAre();
            updateRunning = false;
            aborted = true;
            QCoreApplication::quit();
            break;
        }
        // Declined: a new dialog takes over at the time reached; the clock was never stopped.
        elapsed = nominalElapsed();
        if (elapsed >= RebootWaitMs)
            break;
    }

    updatePhase = 4;
    if (!aborted) {
        findUpdatedConsole();
        return;
    }
    // The application is quitting; the steps after the wait still go out as they always did.
    refreshSerialDevices(false);
    on_serialConnectButton_clicked();
    emit getUpdatedDeviceData();
}

void MainWindow::findUpdatedConsole()
{
    refreshSerialDevices(false);
    // Without the serial number of the console the run began with there is nothing to tell the
    // consoles apart by: the port of the run (or the selection) is taken as it is, and the
    // worker refuses to change the users' data of a console it cannot identify.
    if (runSerial.isEmpty()) {
        connectRunPort();
        emit getUpdatedDeviceData();
        return;
    }
    // Every console the system lists now, the port the run used first: a console that came
    // back under the same path is found at the first try.
    candidates = consolePorts();
    if (candidates.removeAll(runPort) > 0)
        candidates.prepend(runPort);
    hunting = true;
    tryNextCandidate();
}

void MainWindow::tryNextCandidate()
{
    // Leaves the console tried last, if any; the port is closed after the send anyway.
    emit portDisconnect();
    if (candidates.isEmpty()) {
        hunting = false;
        trace(QStringLiteral("Device %1 not found after the Update").arg(runSerial));
        QMessageBox::critical(
            this, tr("Error"),
            tr("The Device with serial number %1 was not found after the Update.\nNothing was "
               "changed on any Device.\nConnect that Device and restart the updater to restore "
               "its Users Settings.")
                .arg(runSerial));
        endRun(true);
        recordFailure();
        return;
    }
    const QString path = candidates.takeFirst();
    candidateSerial.clear();
    ui->serialCombobox->setCurrentIndex(ui->serialCombobox->findData(path));
    trace(QStringLiteral("Looking for Device %1 on %2").arg(runSerial, path));
    emit ySerialConnect(path);
    emit getUpdatedDeviceData();
}

bool MainWindow::candidateAnswered()
{
    const QString path = ui->serialCombobox->currentData(Qt::UserRole).toString();
    if (candidateSerial.trimmed() == runSerial.trimmed()) {
        hunting = false;
        runPort = path;
        trace(QStringLiteral("Device %1 found on %2").arg(runSerial, path));
        return true;
    }
    trace(QStringLiteral("Device on %1 is %2, not %3")
              .arg(path, candidateSerial.isEmpty() ? QStringLiteral("unknown") : candidateSerial,
                   runSerial));
    tryNextCandidate();
    return false;
}

void MainWindow::candidateFailed()
{
    trace(QStringLiteral("Could not open ") +
          ui->serialCombobox->currentData(Qt::UserRole).toString());
    tryNextCandidate();
}

void MainWindow::connectRunPort()
{
    if (runPort.isEmpty())
        on_serialConnectButton_clicked();
    else
        emit ySerialConnect(runPort);
}

void MainWindow::endAbandonedSequence()
{
    runAbandoned = false;
    trace(QStringLiteral("Result of the abandoned update not acted on"));
    sleepInhibitor->release();
    // The users' data may have been kept (and the console erased) after the user was told.
    if (userSettingsPath != abandonedToldPath)
        tellWhereUsersDataAre();
}

void MainWindow::setUserSettingsSlot()
{
    qDebug() << "Settings Path Name : " << userSettingsPath;
    trace(QStringLiteral("Settings Path Name : ") + userSettingsPath);
    if (userSettingsPath.contains(QLatin1String("BrenvikDATA"))) {
        refreshSerialDevices(false);
        connectRunPort();
        // Only the console the users' data came from may receive them.
        emit expectedSerial(runSerial);
        emit yTransmitUserSettings(userSettingsPath);
    } else {
        QMessageBox::critical(this, tr("Error"), tr("User Settings File Not Found"));
        endRun(true);
    }
}

void MainWindow::enableUpdateSlot(bool its_ok)
{
    // The console has answered: an update can be asked for from now on.
    watchUpdateRun();
    // Its users' data from an earlier update that did not complete go back first.
    if (its_ok && offerPendingRestore())
        return;
    if (!its_ok) {
        trace(QStringLiteral("Rescue Mode Forced"));
        updateMode = ModeLoseSettings;
        ui->rescueMode->setChecked(true);
        ui->rescueMode->setEnabled(false);
        emit preserveSettingsMode(false);
        // Saved users' data from an update cut off half way can be put back instead.
        if (offerRescueRestore()) {
            emit activeUpdateSignal();
            return;
        }
        QMessageBox::warning(
            this, tr("Warning"),
            tr("WARNING: Found Monitor in waiting state.\nIn this state the system will not save "
               "Users Settings and Data.\nThis may be due for instance to an update "
               "interruption.\nTry to restart it switching off the power supply and quit "
               "updater.\nThen, after at least twenty seconds, restarting update program.\n If the "
               "problem persists, you have to go ahead in the update\nprocess losing your data."));
    }
    emit activeUpdateSignal();
}

void MainWindow::verCompErrorSlot()
{
    QMessageBox::critical(this, tr("Version Error"),
                          tr("This Release is NOT Compatible with current Version.\nPlease Upgrade "
                             "Q-Solenza with a Previous Version"));
    QCoreApplication::quit();
}

void MainWindow::on_rescueMode_clicked()
{
    const bool ticked = ui->rescueMode->isChecked();
    if (ticked) {
        if (!forcedUpdate) {
            QMessageBox::warning(
                this, tr("Warning"),
                tr("WARNING: Enabling Rescue Mode WILL delete all Users Settings.       \n Check "
                   "this Box if you have to Rescue Device from a failed Update.    \n Please see "
                   "instruction manual for details. "));
            updateMode = ModeLoseSettings;
        }
    } else if (!forcedUpdate) {
        updateMode = ModeKeepSettings;
    }
    emit preserveSettingsMode(!ticked);
}
