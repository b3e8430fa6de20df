#ifndef UPDATESTATION_H
#define UPDATESTATION_H

#include "resultcodes.h"
#include "updatecontroller.h"
#include "updateresult.h"

#include <QObject>
#include <QString>

class ConsoleRestarts;
class FirmwareRelease;
class QThread;
class UpdatePrompts;
class YMODEM;

// One console's update without a window: the worker in a thread of its own, its update
// controller, and the release it is given. Several stations update consoles side by side in
// one process; each knows only its own console, found again by its serial number.
class UpdateStation : public QObject
{
    Q_OBJECT

public:
    // How long a console told to restart at the end of its update is taken to be away.
    static constexpr int FinalRestartMs = 15000;
    // How often a console looked for after its flash is tried again when another run holds it.
    static constexpr int BusyPortRetries = 3;

    // restarts: shared by the stations of one process (may be null for a single station).
    UpdateStation(UpdatePrompts* prompts, FirmwareRelease* release,
                  UpdateController::PortFinder consolePorts, ConsoleRestarts* restarts,
                  QObject* parent = nullptr);
    ~UpdateStation() override;

    // Opens port and reads the console: ends with consoleRead() or unreachable().
    void readConsole(const QString& port);
    // The whole update of the console read last; false when it could not start.
    bool update(bool rescue);
    // Sends back the users' data of an earlier update of the console read last that did not
    // complete; false when there are none (the prompts answer its one question).
    bool restore();
    // Stops the run at its next safe point.
    void stop() { controller->requestStop(); }
    // Leaves the console's port.
    void disconnectPort();

    UpdateController* updateController() const { return controller; }
    QString port() const { return controller->isRunning() ? controller->runPort() : readPort; }
    // The console read last answered from its loader.
    bool consoleInLoader() const { return inLoader; }
    // The percentage of the whole update reached.
    int percent() const { return lastPercent; }

signals:
    void consoleRead();
    void unreachable(QString why);
    void status(QString text);
    void progress(int percent);
    void finished(UpdateResult result);

private:
    void connectWorker();
    void connectController();
    void portState(int state);
    void workerProgress(int percent);
    void markRestart();
    void unmarkRestart();

    FirmwareRelease* release;
    ConsoleRestarts* restarts;
    UpdateController* controller;
    YMODEM* worker;
    QThread* thread;
    QString readPort;
    bool reading = false;
    bool inLoader = false;
    bool rescue = false;
    int lastPercent = 0;
};

#endif // UPDATESTATION_H
