#include "updatestation.h"

#include "consolerestarts.h"
#include "firmwarerelease.h"
#include "portdiagnosis.h"
#include "timescale.h"
#include "ymodem.h"

#include <QThread>
#include <QTimer>

namespace
{
// The worker's stack, as the window gives it.
const uint workerStackSize = 1108864;
const unsigned long threadStopWaitMs = 5000;
} // namespace

UpdateStation::UpdateStation(UpdatePrompts* prompts, FirmwareRelease* release,
                             UpdateController::PortFinder consolePorts, ConsoleRestarts* restarts,
                             QObject* parent)
    : QObject(parent), release(release), restarts(restarts),
      controller(new UpdateController(prompts, consolePorts, this)), worker(new YMODEM),
      thread(new QThread(this))
{
    thread->setStackSize(workerStackSize);
    worker->setPortFinder(std::move(consolePorts));
    worker->setConsoleRestarts(restarts);
    worker->setImageSource([release](const QString& path) { return release->image(path); });
    worker->moveToThread(thread);
    connectWorker();
    connectController();
    controller->setRelease(release->full());
    if (restarts)
        controller->setBusyPortRetries(BusyPortRetries);
    thread->start();
    YMODEM* w = worker;
    QMetaObject::invokeMethod(
        w,
        [w, release] {
            w->copyQueriesSlot(release->queryList(), release->vChanged(), release->minorVersion());
        },
        Qt::QueuedConnection);
}

UpdateStation::~UpdateStation()
{
    unmarkRestart();
    // A worker still inside a sequence is left to end with the process rather than freed under
    // its feet.
    if (worker->stopThread(threadStopWaitMs))
        delete worker;
    else
        thread->setParent(nullptr);
}

void UpdateStation::connectWorker()
{
    YMODEM* w = worker;
    UpdateController* c = controller;
    connect(w, &YMODEM::serialConnected, this, &UpdateStation::portState);
    connect(w, &YMODEM::yModemResult, this, [this](int res) {
        controller->workerResult(res);
        if (res == ResultCode::ImageSent && controller->step() == UpdateStep::ImageSent)
            markRestart();
    });
    connect(w, &YMODEM::progress, this, &UpdateStation::workerProgress);
    connect(w, &YMODEM::setFirmwareUploadStatus, this, &UpdateStation::status);
    connect(w, &YMODEM::versionReady, c, &UpdateController::versionReported);
    connect(w, &YMODEM::serialReady, c, &UpdateController::serialReported);
    connect(w, &YMODEM::articleReady, c, &UpdateController::articleReported);
    connect(w, &YMODEM::nameReady, c, &UpdateController::nameReported);
    connect(w, &YMODEM::monitorID, c, &UpdateController::monitorReported);
    connect(w, &YMODEM::putUserSettingPath, c, &UpdateController::usersDataPathReported);
    connect(w, &YMODEM::readUserDataDone, c, &UpdateController::usersDataRead);
    connect(w, &YMODEM::shutdownDelayedSignal, c, &UpdateController::renameDone);
    connect(w, &YMODEM::enableUpdateSignal, this, [this](bool inApplication) {
        if (!reading)
            return;
        reading = false;
        inLoader = !inApplication;
        emit consoleRead();
    });
    connect(w->notices(), &UsersDataNotices::migrationReport, c,
            &UpdateController::migrationReported);
    connect(w->notices(), &UsersDataNotices::consoleCopyKept, c,
            &UpdateController::consoleCopyKept);
}

void UpdateStation::connectController()
{
    YMODEM* w = worker;
    UpdateController* c = controller;
    connect(c, &UpdateController::connectTo, w, &YMODEM::ySerialConnect);
    connect(c, &UpdateController::disconnectPort, w, &YMODEM::serialDisconnect);
    connect(c, &UpdateController::transmit, w, &YMODEM::yTransmit);
    connect(c, &UpdateController::readUpdatedConsole, w, &YMODEM::getUpdatedFirmwareVersion);
    connect(c, &UpdateController::expectedSerial, w, &YMODEM::setExpectedSerial);
    connect(c, &UpdateController::keepConsoleCopy, w, &YMODEM::setKeepConsoleCopy);
    connect(c, &UpdateController::transmitUsersData, w, &YMODEM::yTransmitUserSettings);
    connect(c, &UpdateController::renameModule, w, &YMODEM::deviceRenameBLE_File);
    connect(c, &UpdateController::preserveSettings, w, &YMODEM::preserveSettingsModeSlot);
    connect(
        c, &UpdateController::stopWorker, this, [w](bool stop) { w->requestStop(stop); },
        Qt::DirectConnection);
    connect(c, &UpdateController::percentChanged, this, &UpdateStation::workerProgress);
    // Found again after its re-flash; told to restart once its data are back.
    connect(c, &UpdateController::expectedSerial, this, &UpdateStation::unmarkRestart);
    connect(c, &UpdateController::renameModule, this, &UpdateStation::markRestart);
    connect(c, &UpdateController::finished, this, [this](const UpdateResult& result) {
        if (result.step >= UpdateStep::DataRestored)
            QTimer::singleShot(TimeScale::ms(FinalRestartMs), this, &UpdateStation::unmarkRestart);
        else
            unmarkRestart();
        emit finished(result);
    });
}

void UpdateStation::readConsole(const QString& port)
{
    readPort = port;
    reading = true;
    inLoader = false;
    YMODEM* w = worker;
    QMetaObject::invokeMethod(
        w, [w, port] { w->ySerialConnect(port); }, Qt::QueuedConnection);
}

void UpdateStation::portState(int res)
{
    const PortState state = PortState(res);
    if (state == PortState::Open) {
        // The reconnections inside a run neither read the console nor offer anything.
        if (reading && !controller->isBusy()) {
            controller->consoleConnected();
            YMODEM* w = worker;
            QMetaObject::invokeMethod(
                w, [w] { w->yTransmitGetFirmwareVersion(); }, Qt::QueuedConnection);
        }
        return;
    }
    if (state != PortState::OpenFailed || controller->portStateChanged(state) || !reading)
        return;
    reading = false;
    emit unreachable(PortDiagnosis::lastOpenFailure().summary());
}

bool UpdateStation::update(bool rescueRun)
{
    rescue = rescueRun || release->forced();
    lastPercent = 0;
    return controller->start(readPort, release->imagePath(), rescue);
}

bool UpdateStation::restore()
{
    rescue = false;
    lastPercent = 0;
    return controller->offerPendingRestore();
}

void UpdateStation::disconnectPort()
{
    YMODEM* w = worker;
    QMetaObject::invokeMethod(
        w, [w] { w->serialDisconnect(); }, Qt::QueuedConnection);
}

void UpdateStation::workerProgress(int percent)
{
    if (!controller->isRunning())
        return;
    const UpdateMode mode = rescue ? UpdateMode::LoseSettings : UpdateMode::KeepSettings;
    const int overall = UpdateController::overallPercent(mode, controller->phase(), percent);
    if (overall == lastPercent)
        return;
    lastPercent = overall;
    emit progress(overall);
}

void UpdateStation::markRestart()
{
    if (restarts)
        restarts->beginRestart(worker);
}

void UpdateStation::unmarkRestart()
{
    if (restarts)
        restarts->endRestart(worker);
}
