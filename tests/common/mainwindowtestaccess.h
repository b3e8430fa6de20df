#ifndef MAINWINDOWTESTACCESS_H
#define MAINWINDOWTESTACCESS_H

#include "debugconsole.h"
#include "mainwindow.h"
#include "ui_mainwindow.h"

#include <QTimer>

// Read and set MainWindow's private state from the tests of the windows.
class MainWindowTestAccess
{
public:
    explicit MainWindowTestAccess(MainWindow* window) : w(window) {}

    Ui::MainWindow* ui() const { return w->ui; }
    QTimer* tickTimer() const { return w->tickTimer; }
    YMODEM* worker() const { return w->worker; }
    QThread* thread() const { return w->mThread; }

    int& labelHoldTicks() { return w->labelHoldTicks; }
    int& shutdownTicks() { return w->shutdownTicks; }
    bool& isConnected() { return w->isConnected; }
    bool& updaterFileMissing() { return w->updaterFileMissing; }
    bool& forcedUpdate() { return w->forcedUpdate; }
    int updatePhase() const { return int(w->controller->phase()); }
    // A run at this phase, as if "Update" had been pressed (nothing is asked of the worker).
    void runAt(int phase, const QString& usersData = QString())
    {
        w->controller->beginRun(QString(), w->updateMode == UpdateMode::LoseSettings);
        w->controller->run->phase = UpdatePhase(phase);
        w->controller->run->usersData = usersData;
    }
    int updateMode() const { return int(w->updateMode); }
    void setUpdateMode(int mode) { w->updateMode = UpdateMode(mode); }
    QString& firmwarePath() { return w->firmwarePath; }
    QString& dataPath() { return w->dataPath; }
    QStringList& queries() { return w->queries; }
    QString& verFull() { return w->verFull; }
    QString& verDate() { return w->verDate; }
    QString& verForced() { return w->verForced; }
    QString& verVChanged() { return w->verVChanged; }
    QString& verMinorVersion() { return w->verMinorVersion; }
    DebugConsole* debugConsole() const { return w->debugConsole; }

    void timerSlot() { w->timerSlot(); }
    void serialConnected(int res) { w->serialConnected(res); }
    void connectButtonClicked() { w->on_serialConnectButton_clicked(); }
    void refreshButtonClicked() { w->on_refreshButton_clicked(); }
    void debugTerminal(bool active) { w->debugTerminalSlot(active); }
    void shutdownDelayed() { w->shutdownDelayedSlot(); }
    void updateVersionString(const QString& s) { w->updateVersionString(s); }
    void getFirmwareUploadStatus(const QString& s) { w->getFirmwareUploadStatus(s); }

    static bool& consoleOpen() { return MainWindow::consoleOpen; }

private:
    MainWindow* w;
};

#endif // MAINWINDOWTESTACCESS_H
