#include "mainwindow.h"
#include "ui_mainwindow.h"

#include "consoletrace.h"
#include "debugconsole.h"
#include "portdiagnosis.h"
#include "portlister.h"
#include "resultcodes.h"
#include "timescale.h"
#include "versionsfile.h"
#include "ymodem.h"

#include <QApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QSemaphore>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>
#include <memory>

#ifdef UPDATER_HAVE_RESOURCES
// Resources compiled into a static library register only when asked to.
static void initResources()
{
    Q_INIT_RESOURCE(resources);
}
#else
static void initResources() {}
#endif

namespace
{
const char* const consolePrefix = "BRENVIK - ";
const char* const okStyle = "QLabel { background-color : lightgreen; color : black; }";
const char* const failStyle = "QLabel { background-color : red; color : black; }";
// How long the window waits for the worker's thread to end when it is destroyed; a sequence
// that is still sleeping is left to end with the process.
const unsigned long threadStopWaitMs = 3000;

void trace(const QString& line)
{
    ConsoleTrace::print(line + QLatin1String("\r\n"));
}
} // namespace

bool MainWindow::consoleOpen = false;

MainWindow::MainWindow(QWidget* parent)
    : QWidget(parent), connectionLabel(nullptr), detectionLabel(nullptr), ui(new Ui::MainWindow),
      tickTimer(nullptr), worker(nullptr), mThread(nullptr), labelHoldTicks(0), isConnected(false),
      updaterFileMissing(true), shutdownTicks(0), forcedUpdate(false),
      updateMode(UpdateMode::KeepSettings)
{
    QCoreApplication::setOrganizationName(QStringLiteral("Brenvik"));
    QCoreApplication::setOrganizationDomain(QStringLiteral("brenvik.com"));
    QCoreApplication::setApplicationName(QStringLiteral("Updater"));
    initResources();

    ui->setupUi(this);

    connectionLabel = new QLabel(this);
    detectionLabel = new QLabel(tr("Please Connect Brenvik Device"), this);

    // Nobody listens to deviceDetected yet; this scan only fills the port list.
    updaterFileMissing = false;
    refreshSerialDevices(true);
    updaterFileMissing = true;

    forcedUpdate = false;
    shutdownTicks = 0;
    updateMode = UpdateMode::KeepSettings;

    tickTimer = new QTimer(this);
    tickTimer->setInterval(TickIntervalMs);
    tickTimer->start();
    setWindowIcon(QIcon(QStringLiteral(":/icon/brenvik-ico")));

    labelHoldTicks = 0;
    isConnected = false;
    connectOrWarn(tickTimer, SIGNAL(timeout()), this, SLOT(timerSlot()));

    mThread = new QThread;
    mThread->setStackSize(ThreadStackSize);
    worker = new YMODEM;
    worker->moveToThread(mThread);

    // The migration statements travel to the worker's thread as a pointer to our list.
    qRegisterMetaType<QStringList*>("QStringList*");

    connectOrWarn(worker, SIGNAL(setFirmwareUploadStatus(QString)), this,
                  SLOT(getFirmwareUploadStatus(QString)));
    connectOrWarn(this, SIGNAL(portDisconnect()), worker, SLOT(serialDisconnect()));
    connectOrWarn(worker, SIGNAL(finished()), mThread, SLOT(quit()));
    connectOrWarn(worker, SIGNAL(finished()), worker, SLOT(deleteLater()));
    connectOrWarn(mThread, SIGNAL(finished()), mThread, SLOT(deleteLater()));
    connectOrWarn(worker, SIGNAL(progress(int)), this, SLOT(transferProgress(int)));
    connectOrWarn(worker, SIGNAL(serialConnected(int)), this, SLOT(serialConnected(int)));
    connectOrWarn(worker, SIGNAL(yModemResult(int)), this, SLOT(yModemResult(int)));
    connectOrWarn(worker, SIGNAL(putUserSettingPath(QString)), this,
                  SLOT(getUserSettingsPath(QString)));
    connectOrWarn(worker, SIGNAL(readUserDataDone()), this, SLOT(readUserDataDoneSlot()));
    connectOrWarn(this, SIGNAL(saveUsersFile()), worker, SLOT(ySaveUsersFile()));
    connectOrWarn(this, SIGNAL(preserveSettingsMode(bool)), worker,
                  SLOT(preserveSettingsModeSlot(bool)));
    connectOrWarn(this, SIGNAL(yTransmit(QString)), worker, SLOT(yTransmit(QString)));
    connectOrWarn(this, SIGNAL(yTransmitUserSettings(QString)), worker,
                  SLOT(yTransmitUserSettings(QString)));
    connectOrWarn(this, SIGNAL(ySerialConnect(QString)), worker, SLOT(ySerialConnect(QString)));
    connectOrWarn(this, SIGNAL(getFirmwareUserData()), worker, SLOT(yTransmitGetFirmwareVersion()));
    connectOrWarn(this, SIGNAL(getUpdatedDeviceData()), worker, SLOT(getUpdatedFirmwareVersion()));
    connectOrWarn(this, SIGNAL(renameBLE_File()), worker, SLOT(deviceRenameBLE_File()));
    connectOrWarn(this, SIGNAL(copyQueriesSignal(QStringList*, int, int)), worker,
                  SLOT(copyQueriesSlot(QStringList*, int, int)));
    connectOrWarn(worker, SIGNAL(versionReady(QString)), this, SLOT(updateVersionString(QString)));
    connectOrWarn(worker, SIGNAL(serialReady(QString)), this, SLOT(updateSerialString(QString)));
    connectOrWarn(worker, SIGNAL(monitorID(QString)), this, SLOT(monitorIDSlot(QString)));
    connectOrWarn(worker, SIGNAL(articleReady(QString)), this, SLOT(updateArticleString(QString)));
    connectOrWarn(worker, SIGNAL(nameReady(QString)), this, SLOT(updateNameString(QString)));
    connectOrWarn(worker, SIGNAL(enableUpdateSignal(bool)), this, SLOT(enableUpdateSlot(bool)));
    connectOrWarn(worker, SIGNAL(verCompErrorSignal()), this, SLOT(verCompErrorSlot()));
    connectOrWarn(worker, SIGNAL(shutdownDelayedSignal()), this, SLOT(shutdownDelayedSlot()));
    connectOrWarn(this, SIGNAL(setUserSettings()), this, SLOT(setUserSettingsSlot()));
    connect(this, &MainWindow::expectedSerial, worker, &YMODEM::setExpectedSerial);
    // After "reset" the worker looks for its console among these when the path has changed.
    worker->setPortFinder(&MainWindow::consolePorts);
    connectController();
    for (QLabel* label : {ui->firmwareVersionLabel, ui->serialNumberLabel, ui->monitorIDLabel,
                          ui->articleNumberLabel, ui->nameDeviceLabel})
        initialLabelTexts << label->text();

    mThread->start(QThread::InheritPriority);

    qDebug() << "mThread stackSize : " << mThread->stackSize();
    ConsoleTrace::print(QString::asprintf("mThread stackSize : %d\r\n", int(mThread->stackSize())));

    scanPackageFolder();
}

MainWindow::~MainWindow()
{
    if (debugConsole) {
        delete debugConsole;
        consoleOpen = false;
    }
    // The worker and its thread outlive the window by design; a window that is destroyed
    // (at exit, or several times in one test run) still ends the thread so that nothing keeps
    // running behind it. The worker is deleted in its own thread as the thread ends.
    if (mThread) {
        connect(mThread, &QThread::finished, worker, &QObject::deleteLater);
        // A thread told to quit before its event loop ran drops what was posted to it, among
        // that the worker's timer handed over by moveToThread (Qt then leaks it): let the loop
        // take what is queued first. Bounded, in case the worker is inside a sequence.
        if (mThread->isRunning()) {
            const auto drained = std::make_shared<QSemaphore>();
            QMetaObject::invokeMethod(
                worker, [drained] { drained->release(); }, Qt::QueuedConnection);
            drained->tryAcquire(1, int(threadStopWaitMs));
        }
        mThread->quit();
        if (!mThread->wait(threadStopWaitMs))
            qWarning()
                << "MainWindow: the worker's thread is still busy; left to end with the process";
    }
    delete ui;
}

void MainWindow::connectOrWarn(const QObject* sender, const char* signal, const QObject* receiver,
                               const char* method)
{
    if (!connect(sender, signal, receiver, method))
        qWarning("MainWindow: could not connect %s to %s", signal + 1, method + 1);
}

QString MainWindow::packageVersionText() const
{
    return verFull + QLatin1Char('_') + verDate;
}

void MainWindow::showResultMessage(const QString& text, bool ok)
{
    connectionLabel->setStyleSheet(QLatin1String(ok ? okStyle : failStyle));
    labelHoldTicks = MessageHoldTicks;
    connectionLabel->setText(text);
    resumeTick();
}

// ---- The 20 ms tick ----

void MainWindow::timerSlot()
{
    bool settled = false;
    if (labelHoldTicks != 0) {
        // The message stays on the tick that restores the style; the next tick replaces it.
        if (--labelHoldTicks == 0)
            connectionLabel->setStyleSheet(qApp->styleSheet());
    } else {
        connectionLabel->setText(isConnected ? tr("Connected") : tr("Not connected"));
        settled = true;
    }

    if (shutdownTicks != 0 && --shutdownTicks == 0)
        runDelayedShutdown();

    // No message held, no countdown, the label right: further ticks would change nothing until
    // a message, a countdown or a connection change resumes them. An idle window stays asleep.
    if (settled && shutdownTicks == 0)
        tickTimer->stop();
}

void MainWindow::resumeTick()
{
    if (tickTimer && !tickTimer->isActive())
        tickTimer->start();
}

void MainWindow::shutdownDelayedSlot()
{
    // The run decides: the end of its own rename, or a report of a run that has ended.
    controller->renameDone();
}

void MainWindow::runDelayedShutdown()
{
    emit portDisconnect();
    ui->serialConnectButton->setEnabled(true);
    isConnected = false;
    tickTimer->stop();
    QMessageBox::information(this, tr("Uploader"),
                             tr("Operations are successfully terminated!\nPlease wait for the "
                                "completion of Device Update") +
                                 finalNotes);
    QCoreApplication::quit();
}

// ---- Port scanning and detection ----

QStringList MainWindow::consolePorts()
{
    return PortLister::consolePorts();
}

void MainWindow::refreshSerialDevices(bool enableUpdate)
{
    ui->serialCombobox->clear();
    bool found = false;
    const QList<PortLister::Port> ports = PortLister::availablePorts();
    for (const PortLister::Port& port : ports) {
        QString text = port.portName;
        int position = ui->serialCombobox->count();
        if (port.manufacturer == QLatin1String(PortLister::ConsoleManufacturer)) {
            text.prepend(QLatin1String(consolePrefix));
            found = true;
            position = 0;
        }
        ui->serialCombobox->insertItem(position, QIcon(), text, port.systemLocation);
    }

    bool detected = false;
    if (updaterFileMissing) {
        detectionLabel->setText(tr("Updater File Not Found"));
    } else if (found) {
        detectionLabel->setText(tr("Brenvik Device Detected"));
        detected = enableUpdate;
    } else {
        detectionLabel->setText(tr("Please Connect Brenvik Device"));
    }
    emit deviceDetected(detected);
    // During an update the console being updated stays selected: the reconnections of the run
    // go to it, not to whichever console the system lists first.
    const int runEntry = controller && controller->isRunning()
                             ? ui->serialCombobox->findData(controller->runPort())
                             : -1;
    ui->serialCombobox->setCurrentIndex(runEntry >= 0 ? runEntry : 0);
}

void MainWindow::on_refreshButton_clicked()
{
    if (!updaterFileMissing)
        refreshSerialDevices(true);
}

void MainWindow::on_serialConnectButton_clicked()
{
    emit ySerialConnect(ui->serialCombobox->currentData(Qt::UserRole).toString());
}

void MainWindow::serialConnected(int res)
{
    detectionLabel->setText(QString());
    emit deviceDetected(false);

    // Other values (the worker sends none) only clear the detection label.
    const PortState state = PortState(res);
    switch (state) {
    case PortState::Closed:
        ui->serialConnectButton->setEnabled(true);
        isConnected = false;
        showResultMessage(tr("Serial Port Diconnected"), true);
        trace(QStringLiteral("Serial Port Diconnected"));
        emit deviceConnected(res);
        break;
    case PortState::OpenFailed: {
        // A console tried while the updated one is looked for: the run tries the next one.
        if (controller->portStateChanged(state)) {
            isConnected = false;
            emit deviceConnected(res);
            break;
        }
        // The reason and the fix go under the text, and into the trace.
        const PortDiagnosis why = PortDiagnosis::lastOpenFailure();
        QMessageBox box(QMessageBox::Critical, tr("Error"), tr("Could not open Serial Port."),
                        QMessageBox::Ok, this);
        box.setDetailedText(why.detail());
        box.exec();
        trace(QStringLiteral("Could not open Serial Port."));
        ConsoleTrace::print(why.traceText());
        isConnected = false;
        emit deviceConnected(res);
        break;
    }
    case PortState::Open:
        ui->serialConnectButton->setEnabled(false);
        isConnected = true;
        // Outside a run every connection may lead to another console: it is read afresh. The
        // reconnections inside a run neither read it nor offer a second update.
        if (!controller->isBusy()) {
            forgetConsole();
            controller->consoleConnected();
            emit getFirmwareUserData();
        }
        trace(QStringLiteral("Serial Port Connected Successfully."));
        emit deviceConnected(res);
        break;
    }
    resumeTick(); // the label follows isConnected
}

void MainWindow::disconnectDevice()
{
    emit portDisconnect();
    ui->serialConnectButton->setEnabled(true);
    isConnected = false;
    resumeTick();
}

// ---- Values reported by the worker ----

static void showValue(QLabel* label, const QString& str)
{
    if (str.isEmpty())
        return;
    label->setText(str);
    label->setAlignment(Qt::AlignCenter);
}

void MainWindow::forgetConsole()
{
    const QList<QLabel*> labels = {ui->firmwareVersionLabel, ui->serialNumberLabel,
                                   ui->monitorIDLabel, ui->articleNumberLabel, ui->nameDeviceLabel};
    for (int i = 0; i < labels.size() && i < initialLabelTexts.size(); ++i)
        labels.at(i)->setText(initialLabelTexts.at(i));
    // Rescue mode forced by, or chosen for, another console does not carry over.
    if (!forcedUpdate) {
        const bool wasTicked = ui->rescueMode->isChecked();
        ui->rescueMode->setChecked(false);
        ui->rescueMode->setEnabled(true);
        updateMode = UpdateMode::KeepSettings;
        if (wasTicked)
            emit preserveSettingsMode(true);
    }
}

void MainWindow::updateVersionString(QString str)
{
    controller->versionReported(str);
    showValue(ui->firmwareVersionLabel, str);
}

void MainWindow::updateSerialString(QString str)
{
    controller->serialReported(str);
    // While the updated console is looked for, the labels keep the run's console.
    if (!controller->isRunning() || controller->step() < UpdateStep::FindingConsole ||
        str.trimmed() == controller->runSerial().trimmed())
        showValue(ui->serialNumberLabel, str);
}

void MainWindow::monitorIDSlot(QString str)
{
    controller->monitorReported(str);
    showValue(ui->monitorIDLabel, str);
}

void MainWindow::updateArticleString(QString str)
{
    controller->articleReported(str);
    showValue(ui->articleNumberLabel, str);
}

void MainWindow::updateNameString(QString str)
{
    controller->nameReported(str);
    showValue(ui->nameDeviceLabel, str);
}

void MainWindow::yModemResult(int res)
{
    controller->workerResult(res);
}

void MainWindow::getFirmwareUploadStatus(QString ftr)
{
    ui->firmwareUploadStatusLabel->setText(ftr);
}

void MainWindow::getUserSettingsPath(QString path)
{
    controller->usersDataPathReported(path);
}

void MainWindow::readUserDataDoneSlot()
{
    controller->usersDataRead();
}

// ---- The firmware package ----

QFileInfoList MainWindow::packageFiles() const
{
    // Without a data location there is no folder to list (an empty path would be the
    // working directory).
    if (dataPath.isEmpty())
        return QFileInfoList();
    // Smallest first, so versions.ini is read before the image that shows its values.
    return QDir(dataPath).entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks,
                                        QDir::Size | QDir::Reversed);
}

QString MainWindow::listingLine(const QFileInfo& file)
{
    return QStringLiteral("%1 %2").arg(file.size(), 10).arg(file.filePath());
}

void MainWindow::scanPackageFolder()
{
    const QStringList locations =
        QStandardPaths::standardLocations(QStandardPaths::AppLocalDataLocation);
    qDebug() << (locations.isEmpty() ? QStringLiteral("C:") : locations.at(0)) << locations.value(1)
             << locations.value(2);

    // The package is installed system-wide: the second location, after the user's own. Should
    // the system offer only one location, that one is where the package can be.
    dataPath = locations.size() >= 2 ? locations.at(1) : locations.value(0);
    trace(QStringLiteral("PATH=") + dataPath);
    trace(QStringLiteral("PATH=") + dataPath);

    packageProblem = VersionsFile().problem();
    const QFileInfoList files = packageFiles();
    for (const QFileInfo& file : files) {
        const QString line = listingLine(file);
        qDebug() << line;
        trace(line);
        if (file.fileName().contains(QLatin1String("versions.ini"))) {
            readVersionsFile(file.filePath());
        } else if (file.size() == FirmwareImageSize &&
                   file.fileName().contains(QLatin1String(".iso"))) {
            firmwarePath = dataPath + QLatin1Char('/') + file.fileName();
            ui->label_83->setText(packageVersionText());
            updaterFileMissing = false;
        }
    }
    controller->setRelease(verFull);
    if (!updaterFileMissing && !packageProblem.isEmpty()) {
        updaterFileMissing = true;
        firmwarePath.clear();
        trace(QStringLiteral("Firmware package refused: ") + packageProblem);
        QMessageBox::critical(this, tr("Error"),
                              tr("The firmware package is not valid: %1\nNo update can be made "
                                 "with it.")
                                  .arg(packageProblem));
    }
}

void MainWindow::readVersionsFile(const QString& path)
{
    VersionsFile file;
    file.read(path);
    // A package whose description is broken or cut off would update with the wrong statements
    // or limits: nothing of it is used.
    packageProblem = file.problem();
    if (!packageProblem.isEmpty())
        return;

    QString* const members[VersionsFile::KeyCount] = {
        &verFull, &verBootloader,   &verApplication, &verBuild,  &verBluetooth,
        &verDate, &verMinorVersion, &verVChanged,    &verForced, nullptr,
    };
    for (const VersionsFile::Entry& entry : file.entries()) {
        const QString name = VersionsFile::keyName(entry.key);
        if (QString* member = members[entry.key])
            *member = entry.value;
        qDebug() << name + QLatin1String(" =") << entry.value;
        trace(name + QLatin1String(" = ") + entry.value);

        if (entry.key == VersionsFile::Forced && VersionsFile::isForcedValue(entry.value)) {
            forcedUpdate = true;
            updateMode = UpdateMode::LoseSettings;
            QMessageBox::warning(
                this, tr("Warning"),
                tr("WARNING: For technical reasons this upgrade WILL delete all Users Settings.  "
                   "     \n          Go ahead if you are absolutely sure about what you're "
                   "doing.             \n "));
            ui->rescueMode->setChecked(true);
            ui->rescueMode->setEnabled(false);
            emit preserveSettingsMode(false);
        }

        if (entry.key == VersionsFile::Query) {
            // The worker reads the list through a pointer once the signal reaches it, so a
            // list already handed over is never changed (a second versions file cannot).
            if (queriesHandedOver)
                break;
            queries += file.queries();
            for (int i = 0; i < file.queries().size(); ++i)
                qDebug() << "Query" << i + 1 << file.queries().at(i);
            if (file.queryCount() >= 1)
                handOverQueries();
        }
    }
    // The "too old" limit matters also to a package without statements.
    if (!queriesHandedOver && !verMinorVersion.isEmpty())
        handOverQueries();
    if (!verVChanged.isEmpty() && !VersionsFile::isVersionNumber(verVChanged))
        trace(QStringLiteral("VChanged is not a six-digit number: migration off"));
    if (!verMinorVersion.isEmpty() && !VersionsFile::isVersionNumber(verMinorVersion))
        trace(QStringLiteral("minorVersion is not a six-digit number: too-old check off"));
}

void MainWindow::handOverQueries()
{
    queriesHandedOver = true;
    emit copyQueriesSignal(&queries, VersionsFile::versionNumber(verVChanged),
                           VersionsFile::versionNumber(verMinorVersion));
}

void MainWindow::firmwareUpload()
{
    // One update at a time, however the button came to be enabled again.
    if (controller->isBusy()) {
        trace(QStringLiteral("Update already running: request ignored"));
        return;
    }
    ui->firmwareBar->setValue(0);
    if (!isConnected) {
        QMessageBox::critical(this, tr("Error"),
                              tr("Serial port closed. Connect Brenvik Device before proceeding."));
        return;
    }

    QFile file(firmwarePath);
    if (firmwarePath.isEmpty() || !file.open(QIODevice::ReadOnly)) {
        QMessageBox::critical(this, tr("Error"),
                              tr("Could not open file. Make sure that the path is valid."));
        return;
    }

    // A name may hold both parts ("fw.bin.iso"): an image of the right size still has to pass
    // the firmware size rule.
    const QString name = QFileInfo(file.fileName()).fileName();
    if (name.contains(QLatin1String(".iso")) && file.size() != FirmwareImageSize) {
        QMessageBox::critical(
            this, tr("Error"),
            tr("The selected file has wrong in size to be a Brenvik filesystem."));
        return;
    } else if (name.contains(QLatin1String(".bin")) && file.size() > MaxBinaryFirmwareSize) {
        QMessageBox::critical(this, tr("Error"),
                              tr("The selected file is too large to be a Brenvik firmware."));
        return;
    }

    file.close();
    watchClose();
    ui->rescueMode->setEnabled(false);
    ui->refreshButton->setEnabled(false);
    ui->serialCombobox->setEnabled(false);
    // The worker opens the file itself.
    controller->start(ui->serialCombobox->currentData(Qt::UserRole).toString(), firmwarePath,
                      ui->rescueMode->isChecked());
}

// ---- Debug console and keys ----

void MainWindow::debugTerminalSlot(bool active)
{
    if (active) {
        if (!debugConsole) {
            debugConsole = new DebugConsole(this);
            debugConsole->setAttribute(Qt::WA_DeleteOnClose);
            connect(debugConsole, &DebugConsole::closed, this, [] { consoleOpen = false; });
        }
        debugConsole->startCapture();
        debugConsole->show();
        debugConsole->raise();
        consoleOpen = true;
        dumpDiagnostics();
    } else if (consoleOpen) {
        if (debugConsole)
            debugConsole->close();
        consoleOpen = false;
    }
}

void MainWindow::dumpDiagnostics()
{
    ConsoleTrace::print(QString::asprintf("mThread stackSize : %d\r\n", int(mThread->stackSize())));
    trace(QStringLiteral("PATH=") + dataPath);
    const QFileInfoList files = packageFiles();
    for (const QFileInfo& file : files)
        trace(listingLine(file));
    trace(QStringLiteral("Full = ") + verFull);
    trace(QStringLiteral("Bootloader = ") + verBootloader);
    trace(QStringLiteral("Application = ") + verApplication);
    trace(QStringLiteral("Build = ") + verBuild);
    trace(QStringLiteral("Bluetooth = ") + verBluetooth);
    trace(QStringLiteral("Date = ") + verDate);
    trace(QStringLiteral("minorVersion = ") + verMinorVersion);
    trace(QStringLiteral("VChanged = ") + verVChanged);
    trace(QStringLiteral("Forced = ") + verForced);
}

void MainWindow::keyPressEvent(QKeyEvent* event)
{
    // Only logged; the event stays accepted and goes no further.
    if (event->key() == Qt::Key_Alt)
        return;
    if (event->modifiers() & Qt::AltModifier)
        trace(QStringLiteral("Alt+%1").arg(event->text()) + QLatin1String(" Pressed"));
}
