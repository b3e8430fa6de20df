#ifndef MAINWINDOW_H
#define MAINWINDOW_H

#include <QFileInfoList>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QWidget>

#include "updatejournal.h"

class QEvent;
class QKeyEvent;
class QLabel;
class QProgressDialog;
class QThread;
class QTimer;
class DebugConsole;
class SleepInhibitor;
class YMODEM;

namespace Ui
{
class MainWindow;
}

// The updater page: owns the worker and its thread, reads the firmware package, scans the
// ports and turns the worker's results into labels, progress and dialogs.
class MainWindow : public QWidget
{
    Q_OBJECT

public:
    static constexpr int TickIntervalMs = 20;
    static constexpr int MessageHoldTicks = 80;    // 1.6 s
    static constexpr int ShutdownDelayTicks = 250; // 5 s
    static constexpr int ThreadStackSize = 1108864;
    static constexpr qint64 FirmwareImageSize = 16777216;    // 16 MiB file-system image
    static constexpr qint64 MaxBinaryFirmwareSize = 1966080; // 1920 KiB
    static constexpr int ModeKeepSettings = 5;
    static constexpr int ModeLoseSettings = 3;

    explicit MainWindow(QWidget* parent = nullptr);
    ~MainWindow() override;

    // The package's "Full" and "Date" values joined by "_".
    QString packageVersionText() const;
    // Shows text in connectionLabel, green when ok, red otherwise, for MessageHoldTicks ticks.
    void showResultMessage(const QString& text, bool ok);
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
    // The 50 s wait while the console re-flashes itself (mainwindow_update.cpp).
    void rebootWait();
    // ---- Update run helpers (mainwindow_update.cpp) ----
public:
    static constexpr int RebootWaitMs = 50000;
    // Overall percentage of the whole update for the worker's percentage of the current step.
    static int overallPercent(int mode, int phase, int percent);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // ---- Interrupted updates and suspend (mainwindow_recovery.cpp) ----
    void watchRecovery();
    void recordResult(int res);
    void recordFailure();
    // A console found in its loader: offers to put back users' data saved by an update that
    // did not complete. True when the user agreed.
    bool offerRescueRestore();
    // After the rescue update: restores the saved file as the normal path does. False when
    // there is nothing to restore.
    bool restoreAfterRescue();
    UpdateJournal journal;
    UpdateJournal::Identity consoleIdentity;
    UpdateJournal::Entry rescueRestore;
    SleepInhibitor* sleepInhibitor = nullptr;

    // A console in its application whose serial number has an unfinished journal: offers
    // to send the kept users' data back. True when the restore was started.
    bool offerPendingRestore();
    void startRestoreOnly(const UpdateJournal::Entry& entry);

    void watchUpdateRun();
    bool askAbort();
    void endRun(bool failed);
    // A failure that ends the run with an error box; consoleChanged adds where the users' data
    // are kept.
    void failWithBox(const QString& text, bool consoleChanged);
    void migrationReportSlot(const QStringList& failed, const QString& originalCopy);
    void tellWhereUsersDataAre();
    // Text naming the migration statements that failed, empty when none did.
    QString failedStatementsText() const;
    // ---- Finding the updated console again (mainwindow_update.cpp) ----
    // After the re-flash wait: tries each console port in turn and keeps the one whose serial
    // number is the run's; stops the run safely when none is.
    void findUpdatedConsole();
    void tryNextCandidate();
    // The result of the query on the candidate just tried: false when the run must wait for
    // the next candidate (the result was consumed here).
    bool candidateAnswered();
    void candidateFailed();
    // Connects to the port of the run (the one found by serial number), else the selection.
    void connectRunPort();
    // The result of the sequence that was running when the user abandoned the run.
    void endAbandonedSequence();

public:
    // Ends the run from the window's side after the user confirmed the abort: tells where the
    // users' data are; the worker's sequence still in progress is left to finish unheeded.
    void abandonRun();
    bool isUpdateRunning() const { return updateRunning; }

private:
    // An update was asked for and has not ended yet (closing the window asks first).
    bool updateRunning = false;
    bool runWatched = false;
    // The user abandoned the run while a worker sequence was still going: its result is not
    // acted on, and no new update starts before it came.
    bool runAbandoned = false;
    QString abandonedToldPath;
    // The console being updated: its serial number (from the query before the update) and the
    // system location of its port once found again after the re-flash.
    QString runSerial;
    QString runPort;
    QStringList candidates;
    bool hunting = false;
    QString candidateSerial;
    // What the worker reported of the migration statements of this run.
    QStringList failedStatements;
    QString originalCopyPath;

    Ui::MainWindow* ui;
    QTimer* tickTimer;
    YMODEM* worker;
    QThread* mThread;
    int labelHoldTicks;
    bool isConnected;
    bool updaterFileMissing;
    QString userSettingsPath;
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
    QStringList queries;
    int shutdownTicks;
    bool forcedUpdate;
    int updatePhase;
    int updateMode;

    // The migration statements have been lent to the worker and must not change any more.
    bool queriesHandedOver = false;

    // The progress dialog of the re-flash wait while it is shown.
    QPointer<QProgressDialog> rebootDialog;
    QPointer<DebugConsole> debugConsole;

    // Once per process.
    static bool firstConnection;
    static bool consoleOpen;

    // The start-up window calls on_serialConnectButton_clicked() directly.
    friend class Startup;
    friend class MainWindowTestAccess;
};

#endif // MAINWINDOW_H
