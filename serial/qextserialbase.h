#ifndef QEXTSERIALBASE_H
#define QEXTSERIALBASE_H

#include <QIODevice>
#include <QRecursiveMutex>
#include <QString>

// Line rates. Values outside this list are stored as they are and leave the port's current
// line rate in place (the worker relies on that with 131072).
enum BaudRateType : int {
    Baud50 = 0,
    Baud75 = 1,
    Baud110 = 2,
    Baud134 = 3,
    Baud150 = 4,
    Baud200 = 5,
    Baud300 = 6,
    Baud600 = 7,
    Baud1200 = 8,
    Baud1800 = 9,
    Baud2400 = 10,
    Baud4800 = 11,
    Baud9600 = 12,
    Baud14400 = 13,
    Baud19200 = 14,
    Baud38400 = 15,
    Baud56000 = 16,
    Baud57600 = 17,
    Baud76800 = 18,
    Baud115200 = 19,
    Baud128000 = 20,
    Baud256000 = 21
};

enum DataBitsType { Data5 = 0, Data6 = 1, Data7 = 2, Data8 = 3 };

// The value doubles as the platform's parity code.
enum ParityType { ParityNone = 0, ParityOdd = 1, ParityEven = 2, ParityMark = 3, ParitySpace = 4 };

// The value doubles as the platform's stop-bit code.
enum StopBitsType { Stop1 = 0, Stop1_5 = 1, Stop2 = 2 };

enum FlowControlType { FlowOff = 0, FlowHardware = 1, FlowXonXoff = 2 };

enum IoMode { PolledIo = 0, EventIo = 1 };

// Bits of lineStatus().
enum LineStatusBits { LineCts = 1, LineDsr = 2, LineDcd = 4, LineRi = 8 };

// Codes held in the last-error field.
enum SerialErrorCode {
    ErrNone = 0,
    ErrMode = 1,
    ErrBreak = 6,
    ErrFraming = 7,
    ErrIo = 8,
    ErrOverrun = 9,
    ErrRxOverflow = 10,
    ErrParity = 11,
    ErrTxFull = 12,
    ErrReadFailed = 13,
    ErrWriteFailed = 14
};

struct SerialSettings {
    BaudRateType baudRate;
    DataBitsType dataBits;
    ParityType parity;
    StopBitsType stopBits;
    FlowControlType flowControl;
    long timeoutMs;
};

// A serial line seen as a sequential QIODevice: its name, its line settings and the last error.
class QextSerialBase : public QIODevice
{
    Q_OBJECT

public:
    QextSerialBase();
    explicit QextSerialBase(const QString& name);
    ~QextSerialBase() override;

    virtual void initDefaults();
    virtual void setPortName(const QString& name);
    virtual QString portName() const;
    virtual void setIoMode(IoMode mode);
    virtual void setBaudRate(BaudRateType rate) = 0;
    virtual BaudRateType baudRate() const;
    virtual void setDataBits(DataBitsType bits) = 0;
    virtual DataBitsType dataBits() const;
    virtual void setParity(ParityType parity) = 0;
    virtual ParityType parity() const;
    virtual void setStopBits(StopBitsType bits) = 0;
    virtual StopBitsType stopBits() const;
    virtual void setFlowControl(FlowControlType flow) = 0;
    virtual FlowControlType flowControl() const;
    virtual void setTimeout(long ms) = 0;
    virtual void flush() = 0;
    // The QIODevice buffer plus the port's input queue; 0 when closed, -1 when the port cannot
    // count (a vanished device).
    virtual qint64 bytesAvailable() = 0;
    // Reached through a const reference or a QIODevice pointer: same answer.
    qint64 bytesAvailable() const override
    {
        return const_cast<QextSerialBase*>(this)->bytesAvailable();
    }
    virtual void ungetChar(char c) = 0;
    virtual qint64 readLine(char* data, qint64 maxSize);
    using QIODevice::readLine;
    virtual ulong lastError() const;
    virtual void translateError(ulong platformFlags);
    virtual void setDtr(bool set = true) = 0;
    virtual void setRts(bool set = true) = 0;
    virtual ulong lineStatus() = 0;

    long timeout() const { return settings.timeoutMs; }
    IoMode ioMode() const { return mode; }

signals:
    void dsrChanged(bool status);

protected:
    QRecursiveMutex* mutex;
    QString port;
    SerialSettings settings;
    ulong lastErr;
    IoMode mode;
};

#endif // QEXTSERIALBASE_H
