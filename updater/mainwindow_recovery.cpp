// The window's side of an interrupted update: a journal of each run kept in the data location,
// the offer to put saved users' data back on a console found in its loader, and the suspend
// inhibitor held while an update runs.
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "consoletrace.h"
#include "resultcodes.h"
#include "sleepinhibitor.h"
#include "usersdatastore.h"
#include "ymodem.h"

#include <QDebug>
#include <QLocale>
#include <QMessageBox>

namespace
{
void trace(const QString& line)
{
    qDebug() << line;
    ConsoleTrace::print(line + QLatin1String("\r\n"));
}
} // namespace

void MainWindow::watchRecovery()
{
    sleepInhibitor = new SleepInhibitor(this);

    // What the console said about itself, for the journal.
    connect(worker, &YMODEM::serialReady, this, [this](const QString& s) {
        // While the updated console is looked for, each candidate's answer is only compared.
        if (hunting) {
            candidateSerial = s;
            return;
        }
        consoleIdentity.serialNumber = s;
        // The worker asks the console again before it takes the users' data: that is the
        // console the run must find again after the re-flash.
        if (updateRunning && updatePhase <= 2)
            runSerial = s;
    });
    connect(worker, &YMODEM::versionReady, this,
            [this](const QString& s) { consoleIdentity.firmwareVersion = s; });
    connect(worker, &YMODEM::articleReady, this,
            [this](const QString& s) { consoleIdentity.articleNumber = s; });
    connect(worker, &YMODEM::nameReady, this,
            [this](const QString& s) { consoleIdentity.deviceName = s; });
    connect(worker, &YMODEM::monitorID, this,
            [this](const QString& s) { consoleIdentity.monitorId = s; });

    connect(this, &MainWindow::yTransmit, this, [this] {
        sleepInhibitor->acquire(tr("Updating the firmware of the Brenvik console"));
        // An unfinished journal of this console stays as it is: only its data going back, or
        // the user declining that, ends it.
        const bool ok = rescueRestore.usersFile.isEmpty() ? journal.begin(consoleIdentity)
                                                          : journal.resume(rescueRestore);
        if (!ok)
            trace(QStringLiteral("Update journal not written: ") + journal.errorString());
    });
    // The worker names the temporary copy first and the kept copy once it is safe.
    connect(worker, &YMODEM::putUserSettingPath, this, [this](const QString& path) {
        if (journal.isOpen() && UsersDataStore::isKeptCopy(path))
            journal.setUsersFile(path);
    });
    connect(this, &MainWindow::yTransmitUserSettings, this,
            [this] { journal.setPhase(UpdateJournal::Restoring); });
    connect(worker, &YMODEM::yModemResult, this, &MainWindow::recordResult);
    // A reconnection inside the run that fails (the cable pulled while the console re-flashes
    // or restarts) ends the run: nothing else would tell the user where the users' data is.
    connect(worker, &YMODEM::serialConnected, this, [this](int res) {
        if (res != -1 || !updateRunning || hunting)
            return;
        trace(QStringLiteral("Update ended: the Device could not be reached"));
        endRun(true);
        recordFailure();
    });
    connect(worker, &YMODEM::shutdownDelayedSignal, this, [this] {
        journal.finish(true);
        sleepInhibitor->release();
    });
}

void MainWindow::recordResult(int res)
{
    switch (res) {
    case ResultCode::ImageSent:
        journal.setPhase(UpdateJournal::ImageSent);
        return;
    case ResultCode::UserSettingsRestored:
        journal.setPhase(UpdateJournal::Restored);
        return;
    case ResultCode::DeviceDataRead:
        return;
    default:
        break;
    }
    recordFailure();
}

void MainWindow::recordFailure()
{
    // The run ends here. Once the users' data was saved the console may have lost it: the
    // journal stays open on disk so the next start can offer to put it back.
    sleepInhibitor->release();
    if (!journal.isOpen())
        return;
    const UpdateJournal::Entry& e = journal.entry();
    if (e.phase >= UpdateJournal::UsersDataSaved && !e.usersFile.isEmpty() &&
        e.phase < UpdateJournal::Restored) {
        trace(QStringLiteral("Update journal left unfinished: ") + e.path);
    } else {
        journal.finish(false);
    }
}

bool MainWindow::offerRescueRestore()
{
    // A console in its loader does not tell its serial number: the newest unfinished run of
    // any console is offered, with the serial number it had, for the user to judge.
    UpdateJournal::Entry found;
    if (!UpdateJournal::findRescuable(QString(), UsersDataStore::folder(), &found,
                                      journal.directory()))
        return false;

    const QString serial =
        found.identity.serialNumber.isEmpty() ? tr("unknown") : found.identity.serialNumber;
    trace(QStringLiteral("Unfinished update found: ") + found.path);
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Restore Users Data"),
        tr("Found Monitor in waiting state: an earlier update did not complete.\n"
           "The Users Settings and Data saved on %1 from the Device with serial number %2 are "
           "kept in:\n%3\n\nUpdate the Device now and put them back afterwards?")
            .arg(QLocale().toString(found.updated.toLocalTime(), QLocale::ShortFormat), serial,
                 found.usersFile),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes) {
        trace(QStringLiteral("Restore of saved Users Data declined"));
        return false;
    }
    trace(QStringLiteral("Saved Users Data will be restored: ") + found.usersFile);
    rescueRestore = found;
    return true;
}

bool MainWindow::restoreAfterRescue()
{
    if (rescueRestore.usersFile.isEmpty())
        return false;
    userSettingsPath = rescueRestore.usersFile;
    rescueRestore = UpdateJournal::Entry();
    emit setUserSettings();
    return true;
}

bool MainWindow::offerPendingRestore()
{
    const QString serial = consoleIdentity.serialNumber.trimmed();
    if (serial.isEmpty() || updateRunning)
        return false;
    UpdateJournal::Entry found;
    if (!UpdateJournal::findUnfinished(serial, &found, journal.directory()))
        return false;

    trace(QStringLiteral("Unfinished update found: ") + found.path);
    const QMessageBox::StandardButton answer = QMessageBox::question(
        this, tr("Restore Users Data"),
        tr("An earlier update of the Device with serial number %1 did not complete.\n"
           "Its Users Settings and Data, saved on %2, are kept in:\n%3\n\n"
           "Send them back to the Device now?")
            .arg(serial, QLocale().toString(found.updated.toLocalTime(), QLocale::ShortFormat),
                 found.usersFile),
        QMessageBox::Yes | QMessageBox::No, QMessageBox::NoButton);
    if (answer != QMessageBox::Yes) {
        // Declined in a question that named the kept file: the journal has done its work. The
        // file itself stays where it is.
        trace(QStringLiteral("Restore of saved Users Data declined: ") + found.usersFile);
        UpdateJournal declined(journal.directory());
        if (!declined.resume(found) || !declined.finish(false))
            trace(QStringLiteral("Update journal not written: ") + declined.errorString());
        return false;
    }
    startRestoreOnly(found);
    return true;
}

void MainWindow::startRestoreOnly(const UpdateJournal::Entry& entry)
{
    trace(QStringLiteral("Saved Users Data will be restored: ") + entry.usersFile);
    sleepInhibitor->acquire(tr("Restoring the Users Data of the Brenvik console"));
    if (!journal.resume(entry))
        trace(QStringLiteral("Update journal not written: ") + journal.errorString());
    ui->rescueMode->setEnabled(false);
    ui->refreshButton->setEnabled(false);
    ui->serialCombobox->setEnabled(false);
    updateRunning = true;
    updatePhase = 4;
    runSerial = entry.identity.serialNumber;
    runPort = ui->serialCombobox->currentData(Qt::UserRole).toString();
    failedStatements.clear();
    originalCopyPath.clear();
    userSettingsPath = entry.usersFile;
    emit setUserSettings();
}
