#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QFileInfoList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "updatecontroller.h"
#include "updateprompts.h"

class QEvent;
class QKeyEvent;
class QLabel;
class QProgressDialog;
class QThread;
class QTimer;
class DebugConsole;
class YMODEM;

namespace Ui
{
class MainWindow;
}

// The updater page: owns the worker and its thread, reads the firmware package, scans the
// ports and turns the worker's results into labels, progress and dialogs.
class MainWindow : public QWidget, public UpdatePrompts
{
    Q_OBJECT

public:
    static constexpr int TickIntervalMs = 20;
    static constexpr int MessageHoldTicks = 80;    // 1.6 s
    static constexpr int ShutdownDelayTicks = 250; // 5 s
    static constexpr int ThreadStackSize = 1108864;
    static constexpr qint64 FirmwareImageSize = 16777216;    // 16 MiB file-system image
    static constexpr qint64 MaxBinaryFirmwareSize = 1966080; // 1920 KiB

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The package's "Full" and "Date" values joined by "_".
    QString packageVersionText() const;
    // Shows text in connectionLabel, green when ok, red otherwise, for MessageHoldTicks ticks.
    void showResultMessage(const QString& text, bool ok) override;
    // Prints the state summary to standard output.
    void dumpDiagnostics();
    // System locations of the ports that look like a console, in the order the window lists
    // them. Safe to call from any thread.
    static QStringList consolePorts();

    QLabel* connectionLabel;
    QLabel* detectionLabel;

signals:
    void ySerialConnect(QString);
    void yTransmit(QString);
    void yTransmitUserSettings(QString);
    void tranferCancel();
    void portDisconnect();
    void saveUsersFile();
    void deviceDetected(bool);
    void deviceConnected(int);
    void getFirmwareUserData();
    void stopYModemThread();
    void setUserSettings();
    void renameBLE_File();
    void preserveSettingsMode(bool);
    void getUpdatedDeviceData();
    void activeUpdateSignal();
    void copyQueriesSignal(QStringList*, int, int);
    // The console whose users' data are about to be sent back.
    void expectedSerial(QString);

private slots:
    void transferProgress(int percent);
    void timerSlot();
    void on_serialConnectButton_clicked();
    void on_refreshButton_clicked();
    void on_rescueMode_clicked();
    void serialConnected(int res);
    void yModemResult(int res);
    void updateVersionString(QString str);
    void updateSerialString(QString str);
    void monitorIDSlot(QString str);
    void updateArticleString(QString str);
    void updateNameString(QString str);
    void getFirmwareUploadStatus(QString ftr);
    void getUserSettingsPath(QString path);
    void debugTerminalSlot(bool active);
    void shutdownDelayedSlot();
    void readUserDataDoneSlot();

public slots:
    void refreshSerialDevices(bool enableUpdate);
    void disconnectDevice();
    void firmwareUpload();
    void setUserSettingsSlot();
    void enableUpdateSlot(bool its_ok);
    void verCompErrorSlot();

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void connectOrWarn(const QObject* sender, const char* signal, const QObject* receiver,
                       const char* method);
    void scanPackageFolder();
    void readVersionsFile(const QString& path);
    // Lends the statements and the version limits to the worker, once.
    void handOverQueries();
    QFileInfoList packageFiles() const;
    static QString listingLine(const QFileInfo& file);
    void runDelayedShutdown();
    // Starts the tick again after it stopped with nothing left to do.
    void resumeTick();
    // ---- The view of the run (mainwindow_update.cpp) ----
public:
    static constexpr int RebootWaitMs = UpdateController::RebootWaitMs;
    // Overall percentage of the whole update for the worker's percentage of the current step.
    static int overallPercent(UpdateMode mode, UpdatePhase phase, int percent);

    bool askAbort();
    // The user confirmed the abort: the run stops at its next safe point.
    void abandonRun();
    bool isUpdateRunning() const { return controller->isBusy(); }
    UpdateController* updateController() const { return controller; }

    // UpdatePrompts
    void tell(Kind kind, const QString& title, const QString& text) override;
    bool ask(const QString& title, const QString& text) override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void connectController();
    void watchClose();
    void runFinished(const UpdateResult& result);
    void rebootWaitProgress(int elapsedMs);
    void rebootWaitCancelled();
    void connectToPort(const QString& path);
    // Labels and mode as they are before any console was read.
    void forgetConsole();

    UpdateController* controller = nullptr;
    // What the final box of a successful run adds to its text.
    QString finalNotes;
    QStringList initialLabelTexts;

    Ui::MainWindow* ui;
    QTimer* tickTimer;
    YMODEM* worker;
    QThread* mThread;
    int labelHoldTicks;
    bool isConnected;
    bool updaterFileMissing;
    QString verFull;
    QString verBootloader;
    QString verApplication;
    QString verBuild;
    QString verBluetooth;
    QString verDate;
    QString verVChanged;
    QString verMinorVersion;
    QString firmwarePath;
    QString dataPath;
    QString verForced;
    // Why the package cannot be used, empty when it can.
    QString packageProblem;
    QStringList queries;
    int shutdownTicks;
    bool forcedUpdate;
    UpdateMode updateMode;

    // The migration statements have been lent to the worker and must not change any more.
    bool queriesHandedOver = false;

    // The progress dialog of the re-flash wait while it is shown.
    QPointer<QProgressDialog> rebootDialog;
    QPointer<DebugConsole> debugConsole;

    // Once per process.
    static bool consoleOpen;

    // The start-up window calls on_serialConnectButton_clicked() directly.
    friend class Startup;
    friend class MainWindowTestAccess;
};

#endif // MAINWINDOW_H
