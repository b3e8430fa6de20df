#ifndef YMODEM_H
#define YMODEM_H

#include "consolesession.h"
#include "usersdatanotices.h"

#include <QByteArray>
#include <QFileInfo>
#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>
#include <QStringList>
#include <atomic>
#include <functional>

#include "receivefolder.h"
#include "ymodemreceiver.h"

class QTimer;
class ConsoleRestarts;
class QextSerialPort;
class YmodemSender;

// The one object that talks to the console. It lives in a thread of its own; every request
// arrives as a queued slot call and every answer leaves as a signal.
class YMODEM : public QObject
{
    Q_OBJECT

public:
    explicit YMODEM(QObject* parent = nullptr);
    ~YMODEM() override;

    // Byte input and output on the worker thread.
    int yTransmitRead(char& c, unsigned short timeout);
    void yTransmitWrite(char c);
    void yTransmitFlushInput();

    // YMODEM sender.
    int Ymodem_Transmit(const QByteArray& contents, const QFileInfo& fileInfo);
    int Ymodem_Transmit_User_Data(const QByteArray& contents, const QFileInfo& fileInfo);
    static void Build_Header_Block(QByteArray& out, const QFileInfo& fileInfo);
    static void Build_Data_Block(const char* blockData, QByteArray& out, quint8 blockNumber,
                                 quint32 remaining);
    static quint16 Crc16_Compute(const unsigned char* data, int length);

    // YMODEM receiver (YmodemReceiver over the worker's port).
    YmodemReceiver::Packet Receive_Packet(char* buffer);
    // Receives one batch into receiveFolderPath() (see YmodemReceiver::receive). fileName, when
    // not empty, is the only file name a header may give. Returns a YmodemReceiver::Outcome's
    // value.
    int Ymodem_Receive(QString fileName);
    static constexpr qint64 kMaxFileBytes = YmodemReceiver::kMaxFileBytes;
    // Where received files go. Empty (the default): a folder of this user's own, owner-only,
    // under the temporary location.
    void setReceiveFolder(const QString& folder) { receiveFolder.set(folder); }
    // One batch with buffered input switched on around it (for callers other than the
    // console sequences, which switch it themselves).
    int receiveBatch();
    // The file the last receive wrote; empty when none came or it was refused.
    QString receivedFilePath() const { return userFilePath; }
    // True when the last receive ended with a file shorter than its header said, or inside a
    // file whose header gave no size.
    bool receivedFileTruncated() const { return userFileTruncated; }

    // Lists the system locations of the ports that look like a console now. The worker asks it
    // when the console comes back from "reset" under another path. Set once before the thread
    // starts; it is called from the worker thread.
    using PortFinder = std::function<QStringList()>;
    void setPortFinder(PortFinder finder) { portFinder = std::move(finder); }
    // Workers of one process that update consoles side by side share one: a reset into the
    // loader then waits for its turn. Set once before the thread starts; none by default.
    void setConsoleRestarts(ConsoleRestarts* shared) { restarts = shared; }
    // The image of a path, read once for every worker of the process; empty when it cannot
    // be, and the worker reads the file itself. Set once before the thread starts.
    using ImageSource = std::function<QByteArray(const QString& path)>;
    void setImageSource(ImageSource source) { imageSource = std::move(source); }

    // Accessors for tests and diagnostics.
    QextSerialPort* serialPort() const { return port; }

    // The worker's notices about the users' data (a child of the worker, in its thread).
    UsersDataNotices* notices() const { return usersDataNotices; }

    // Asks the update in progress (yTransmit) to stop at its next safe point, or clears that
    // request. Thread-safe: the window's thread calls it directly while the worker is inside a
    // sequence (a queued call would only be served after it). yTransmit looks at it after the
    // users' data were saved and kept, before the loader entry (stops with the console's
    // application untouched), and from the loader entry until the image send starts (stops
    // with the console in its loader); either way the port is closed and the result is
    // ResultCode::StoppedByUser. It never stops a send under way, nor the restore
    // (yTransmitUserSettings). The worker never clears it itself: the controller calls
    // requestStop(false) before each run.
    void requestStop(bool stop);

    // Ends the worker's thread from the thread that owns it (at exit): clears runFlag, quits the
    // event loop and waits at most waitMs. The port is closed inside the worker thread as that
    // thread finishes. False when the thread did not end in time.
    bool stopThread(unsigned long waitMs = 5000);

signals:
    void packet(int, int);
    void progress(int);
    void message(QString);
    void finished();
    void serialConnected(int);
    void yModemResult(int);
    void versionReady(QString);
    void serialReady(QString);
    void articleReady(QString);
    void nameReady(QString);
    void monitorID(QString);
    void readUserDataDone();
    void setFirmwareUploadStatus(QString);
    void putUserSettingPath(QString);
    void enableUpdateSignal(bool);
    void shutdownDelayedSignal();
    void verCompErrorSignal();

public slots:
    void ySerialConnect(QString commName);
    void yTransmit(QString filePath);
    void yTransmitUserSettings(QString filePath);
    void ySaveUsersFile();
    void onReadyRead();
    void yTransmitGetFirmwareVersion();
    void deviceRenameBLE_File();
    void serialDisconnect();
    void stopExecution();
    void initThread();
    void preserveSettingsModeSlot(bool value);
    void getUpdatedFirmwareVersion();
    void copyQueriesSlot(QStringList* queries, int verChanged, int minVerChanged);

private slots:
    void timerSlot();

    // Members are public to the worker's own code and to its tests through friendship.
    friend class YmodemTestAccess;
    friend class YmodemLine;
    friend class ConsoleSession;

public slots:
    // The serial number of the console whose users' data are handled; yTransmit sets it from
    // its own "SN". Nothing is removed from or sent to a console whose "SN" differs.
    void setExpectedSerial(QString serial);
    // Queued right before yTransmitUserSettings: when keep is set, that call, once the console
    // is confirmed (same serial number) and before anything is removed from it, fetches the
    // console's current "/BrenvikDATA" and keeps it (notices()->consoleCopyKept). A file that came
    // but could not be kept stops the restore with ResultCode::UserFileNotKept, nothing removed; a
    // console without the file lets it go on. The next yTransmitUserSettings consumes the flag
    // (resets it to false), whatever its outcome.
    void setKeepConsoleCopy(bool keep);

private:
    void setStatus(const QString& text);
    // Makes the end of the worker's thread stop the timer and close the port in that thread.
    void watchThreadEnd();
    void releaseInThread();
    void releasePort();

    // ---- Sender (YmodemSender) ----
    int transmitFile(const QByteArray& contents, const QFileInfo& fileInfo, bool firmware);
    // Routes the sender's progress and status (in this worker's texts) to its signals.
    void attachSender(YmodemSender& sender, bool firmware);
    static QString senderStatusText(int status, bool firmware);

    // ---- Byte input (ymodem.cpp) ----
    void captureReceived(QextSerialPort* p);
    // Waits at most ms for the port's next input report.
    void waitForInput(int ms);
    // CAN CAN: ends the transfer on the other side.
    void cancelTransfer();

    // ---- Receiver helpers ----
    QString receiveFolderPath() { return receiveFolder.path(); }
    ReceiveFolder receiveFolder;

    // ---- Console sequences helpers (ymodem_console.cpp) ----
    void readIdentity(QString version);
    // stoppable: a stop request (requestStop) ends the wait with StoppedByUser.
    int syncWithReceiver(bool stoppable);
    bool loadFileRequested(bool stoppable);
    // True when the port reports the line gone (hang-up, device removed) or is not open.
    bool lineLost();
    // A stop request, if any, ends the update here: the port is closed and code (StoppedByUser
    // or StoppedInLoader) reported. True when it stopped.
    bool stopIfRequested(int code, const QString& phase, const QString& where);
    // The update's checks before anything is read or written; false when it stopped (result
    // reported).
    bool updateMayStart();
    // The whole image read before the console is touched; false when it stopped (result
    // reported).
    bool readImage(const QString& filePath, QByteArray* image);
    // The console's shell is asked for "/BrenvikDATA", which is received into the private
    // folder (userFilePath; empty when none came, refusedFileName when another name came), and
    // the shell is left. announce: the receiver names the file with putUserSettingPath.
    // Returns the receiver's result.
    int fetchUsersFile(bool announce);
    // The name of the file the console sent, when it is not the users' file asked for.
    QString otherFileSent() const;
    // Removes the received file (and any journal beside it) from the private folder.
    void discardReceivedFile();
    bool saveUsersData();
    // Checks and migrates the received file and keeps the result in a new folder for serial;
    // 0 with its path in kept, or the result code of the failure and why (when told).
    int checkAndKeepUsersFile(const QString& serial, QString* kept, QString* why);
    // The restore's keeping of the console's current file (setKeepConsoleCopy); false when
    // the restore stopped (result reported).
    bool keepConsoleCopyBeforeRestore();
    // Why the console's file fetched before a restore cannot stand for its data; empty when
    // it can (or when there is none to keep).
    QString consoleCopyProblem(int received) const;
    bool enterLoader();
    bool reopenAfterReset(const QStringList& portsBefore);
    // The ports as a reset beside other consoles watches them: those known before (less any
    // that went away or lead elsewhere since), those there at the last look, and the look each
    // new one was first seen at.
    struct PortWatch {
        QMap<QString, QString> known; // path, and where it leads when a link
        QStringList present;
        QMap<QString, int> seenAt;
    };
    void watchPorts(PortWatch* watch, int step);
    // The console's port after the reset: the new port seen first (path left as it is when none
    // is there); false, with why, when two were seen first.
    static bool watchedPort(const PortWatch& watch, QString* path, QString* why);
    // The console's loader did not come back as one port; the update stops.
    bool notBackFromReset(const QString& why);

    // Serial number read by the last query before an update; names the kept users' data.
    QString deviceSerial;
    // The console whose users' data are in hand (setExpectedSerial, or yTransmit's own "SN").
    QString expectedSerial;
    PortFinder portFinder;
    ConsoleRestarts* restarts = nullptr;
    ImageSource imageSource;
    // The query after the update found the console still in its loader.
    bool stillInLoader = false;
    // The last query before an update found no version number in the reply to "VE".
    bool versionUnreadable = false;
    // Set from the window's thread by requestStop.
    std::atomic<bool> stopRequested{false};
    // setKeepConsoleCopy, consumed by yTransmitUserSettings.
    bool keepConsoleCopy = false;
    // The receiver names each file it receives with putUserSettingPath.
    bool announceReceivedFile = true;
    // The name of a file the receiver refused because another was asked for.
    QString refusedFileName;

    QTimer* statusTimer;
    QMutex rxMutex;
    std::atomic<bool> runFlag{false};
    bool preserveSettings;
    bool rescueRequested;
    QextSerialPort* port;
    QString statusText;
    QString tickedStatus;      // the line the status timer last sent
    bool statusTicked = false; // the timer has sent a line at all
    QString userFilePath;
    QStringList* queryList;
    bool settingsChanged;
    bool versionTooOld;
    int deviceVersion;
    int verChanged;
    int minVerChanged;
    char* rxBuffer;
    int rxCount;
    std::atomic<int> rxCapture{0};

    bool threadEndWatched = false;

    // Set by the receiver when a session ended with the file shorter than its header said.
    bool userFileTruncated = false;

    // The command channel of the sequences, and the notices of the users' data.
    ConsoleSession session{*this};
    UsersDataNotices* usersDataNotices = new UsersDataNotices(this);
};

// The main window lends its list of migration statements by pointer through a queued call.
Q_DECLARE_METATYPE(QStringList*)

#endif // YMODEM_H
