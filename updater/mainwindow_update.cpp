// The window's side of the update run: it shows what the run reports (messages, the bar, the
// re-flash wait, the boxes) and hands the worker's reports and the user's answers to the run.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "consoletrace.h"
#include "resultcodes.h"
#include "ymodem.h"

#include <QApplication>
#include <QCloseEvent>
#include <QDebug>
#include <QMessageBox>
#include <QProgressDialog>

namespace
{
void trace(const QString& line)
{
    ConsoleTrace::print(line + QLatin1String("\r\n"));
}

} // namespace

int MainWindow::overallPercent(UpdateMode mode, UpdatePhase phase, int percent)
{
    return UpdateController::overallPercent(mode, phase, percent);
}

void MainWindow::transferProgress(int percent)
{
    ui->firmwareBar->setValue(overallPercent(updateMode, controller->phase(), percent) * 10);
}

void MainWindow::connectController()
{
    controller = new UpdateController(this, &MainWindow::consolePorts, this);
    UpdateController* c = controller;
    // The run's requests go out as the window's own signals, which the worker is connected to.
    connect(c, &UpdateController::connectTo, this, &MainWindow::connectToPort);
    connect(c, &UpdateController::disconnectPort, this, &MainWindow::portDisconnect);
    connect(c, &UpdateController::transmit, this, &MainWindow::yTransmit);
    connect(c, &UpdateController::readUpdatedConsole, this, &MainWindow::getUpdatedDeviceData);
    connect(c, &UpdateController::expectedSerial, this, &MainWindow::expectedSerial);
    connect(c, &UpdateController::transmitUsersData, this, &MainWindow::yTransmitUserSettings);
    connect(c, &UpdateController::renameModule, this, &MainWindow::renameBLE_File);
    connect(c, &UpdateController::preserveSettings, this, &MainWindow::preserveSettingsMode);
    connect(c, &UpdateController::keepConsoleCopy, worker, &YMODEM::setKeepConsoleCopy);
    YMODEM* w = worker;
    connect(
        c, &UpdateController::stopWorker, this, [w](bool stop) { w->requestStop(stop); },
        Qt::DirectConnection);
    connect(c, &UpdateController::barReset, this, [this] { ui->firmwareBar->setValue(0); });
    connect(c, &UpdateController::percentChanged, this, &MainWindow::transferProgress);
    connect(c, &UpdateController::rebootWaitProgress, this, &MainWindow::rebootWaitProgress);
    connect(c, &UpdateController::finished, this, &MainWindow::runFinished);

    connect(worker->notices(), &UsersDataNotices::migrationReport, c,
            &UpdateController::migrationReported);
    connect(worker->notices(), &UsersDataNotices::consoleCopyKept, c,
            &UpdateController::consoleCopyKept);
}

// From the moment an update can be asked for until it ends, closing the window must not quit
// in the middle of a flash. The start-up window holds this page, so its close is watched.
void MainWindow::watchClose()
{
    window()->installEventFilter(this);
}

void MainWindow::connectToPort(const QString& path)
{
    refreshSerialDevices(false);
    const int entry = ui->serialCombobox->findData(path);
    if (entry >= 0)
        ui->serialCombobox->setCurrentIndex(entry);
    emit ySerialConnect(path.isEmpty() ? ui->serialCombobox->currentData().toString() : path);
}

void MainWindow::tell(Kind kind, const QString& title, const QString& text)
{
    switch (kind) {
    case Kind::Information:
        QMessageBox::information(this, title, text);
        break;
    case Kind::Warning:
        QMessageBox::warning(this, title, text);
        break;
    case Kind::Critical:
        QMessageBox::critical(this, title, text);
        break;
    }
}

bool MainWindow::ask(const QString& title, const QString& text)
{
    return QMessageBox::question(this, title, text, QMessageBox::Yes | QMessageBox::No,
                                 QMessageBox::NoButton) == QMessageBox::Yes;
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::Close && watched == window() && controller->isRunning()) {
        if (!askAbort()) {
            event->ignore();
            return true;
        }
        abandonRun();
        QCoreApplication::quit();
    }
    return QWidget::eventFilter(watched, event);
}

bool MainWindow::askAbort()
{
    if (ask(tr("Cancel"), tr("Are you sure you want to abort the procedure?"))) {
        qDebug() << "Yes was clicked";
        trace(QStringLiteral("Yes was clicked"));
        return true;
    }
    qDebug() << "Yes was *not* clicked";
    trace(QStringLiteral("No was clicked"));
    return false;
}

void MainWindow::abandonRun()
{
    controller->requestStop();
}

void MainWindow::runFinished(const UpdateResult& result)
{
    if (rebootDialog)
        rebootDialog->deleteLater();
    ui->firmwareBar->setValue(ui->firmwareBar->value());
    if (result.ok()) {
        // The console restarts with everything in place; the delayed shutdown says so.
        finalNotes = result.notes;
        shutdownTicks = ShutdownDelayTicks;
        resumeTick();
        return;
    }
    if (!result.detail.isEmpty())
        QMessageBox::critical(
            this, result.code == ResultCode::VersionTooOld ? tr("Version Error") : tr("Error"),
            result.detail);
    if (!result.keptCopy.isEmpty())
        QMessageBox::warning(this, tr("Users Data"),
                             tr("The Update did not complete.\nThe Users Settings and Data of the "
                                "Device are kept in:\n%1\nKeep this file: it is needed to "
                                "restore them.")
                                     .arg(result.keptCopy) +
                                 result.notes);
    if (result.code == ResultCode::VersionTooOld)
        QCoreApplication::quit();
}

// The re-flash wait runs in the run's own clock; the dialog shows it and takes the cancel.
void MainWindow::rebootWaitProgress(int elapsedMs)
{
    if (elapsedMs < 0) {
        if (rebootDialog) {
            rebootDialog->setValue(RebootWaitMs);
            rebootDialog->deleteLater();
        }
        return;
    }
    if (!rebootDialog) {
        auto* dialog = new QProgressDialog(tr("Firmware Update in progress..."), tr("Cancel"), 0,
                                           RebootWaitMs, this);
        dialog->setWindowModality(Qt::WindowModal);
        dialog->setMinimumDuration(0);
        dialog->setAutoClose(false);
        dialog->setAutoReset(false);
        rebootDialog = dialog;
    }
    // Looked at on the run's clock, as the wait goes on.
    if (rebootDialog->wasCanceled())
        rebootWaitCancelled();
    else
        rebootDialog->setValue(elapsedMs);
}

void MainWindow::rebootWaitCancelled()
{
    QProgressDialog* dialog = rebootDialog;
    if (!dialog || !controller->isRunning())
        return;
    rebootDialog = nullptr;
    dialog->deleteLater();
    if (askAbort()) {
        abandonRun();
        QCoreApplication::quit();
        return;
    }
    // Declined: a new dialog takes over at the time reached; the clock was never stopped. The
    // question is asked from the wait's own tick, so the wait cannot end while it is open.
}

void MainWindow::setUserSettingsSlot()
{
    controller->sendUsersData();
}

void MainWindow::enableUpdateSlot(bool its_ok)
{
    watchClose();
    // Its users' data from an earlier update that did not complete go back first.
    if (its_ok && controller->offerPendingRestore()) {
        ui->rescueMode->setEnabled(false);
        ui->refreshButton->setEnabled(false);
        ui->serialCombobox->setEnabled(false);
        return;
    }
    if (!its_ok) {
        trace(QStringLiteral("Rescue Mode Forced"));
        updateMode = UpdateMode::LoseSettings;
        ui->rescueMode->setChecked(true);
        ui->rescueMode->setEnabled(false);
        emit preserveSettingsMode(false);
        // Saved users' data from an update cut off half way can be put back instead.
        if (controller->offerRescueRestore()) {
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
            updateMode = UpdateMode::LoseSettings;
        }
    } else if (!forcedUpdate) {
        updateMode = UpdateMode::KeepSettings;
    }
    emit preserveSettingsMode(!ticked);
}
