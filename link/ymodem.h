#ifndef YMODEM_H
#define YMODEM_H

#include <QByteArray>
#include <QFileInfo>
#include <QMutex>
#include <QObject>
#include <QSqlDatabase>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

class QTimer;
class QextSerialPort;

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

    // YMODEM receiver.
    int Receive_Packet(char* buffer, int* length, int sessionStarted);
    int Ymodem_Receive(QString fileName);

    // Accessors for tests and diagnostics.
    QextSerialPort* serialPort() const { return port; }

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

private:
    void setStatus(const QString& text);

    // ---- Sender helpers (ymodem_sender.cpp) ----
    int transmitFile(const QByteArray& contents, const QFileInfo& fileInfo, bool firmware);

    // ---- Receiver helpers (ymodem_receiver.cpp) ----

    // ---- Console sequences helpers (ymodem_console.cpp) ----

    char* dataBuffer;
    char* packetBuffer;
    QTimer* statusTimer;
    QMutex rxMutex;
    volatile bool runFlag;
    bool preserveSettings;
    bool rescueRequested;
    QextSerialPort* port;
    QString statusText;
    QString userFilePath;
    QStringList* queryList;
    bool settingsChanged;
    bool versionTooOld;
    int deviceVersion;
    int verChanged;
    int minVerChanged;
    char* rxBuffer;
    int rxCount;
    int rxCapture;
    QSqlDatabase userDb;

    // Wakes yTransmitRead as soon as a byte arrives instead of after a fixed sleep.
    QMutex rxWaitMutex;
    QWaitCondition rxArrived;

    // Set by the receiver when a session ended with the file shorter than its header said.
    bool userFileTruncated = false;
};

#endif // YMODEM_H
