#ifndef WIN_QEXTSERIALPORT_H
#define WIN_QEXTSERIALPORT_H

#include "qextserialbase.h"
#include "serialinputqueue.h"
#include "serialoutputqueue.h"
#include "serialplatform.h"

#include <QMutex>
#include <QReadWriteLock>
#include <QWaitCondition>
#include <atomic>
#include <thread>

class Win_QextSerialThread;

// The serial port on the operating system's serial interface. In EventIo mode a monitor thread
// moves arriving bytes into the port's own input queue and reports them with readyRead() (once
// per arrival), feeds queued output to the device and reports its completion with
// bytesWritten().
class Win_QextSerialPort : public QextSerialBase
{
    Q_OBJECT
    friend class Win_QextSerialThread;

public:
    Win_QextSerialPort();
    explicit Win_QextSerialPort(const QString& name, IoMode mode = EventIo);
    ~Win_QextSerialPort() override;

    bool isSequential() const override;
    bool open(OpenMode mode) override;
    void close() override;
    qint64 size() const override;
    bool atEnd() const override;
    qint64 bytesToWrite() const override;
    // Waits at most msecs for the monitor's next readyRead() (and the directly connected slots
    // it ran). True at once when bytes wait in the input queue; false on time-out, and false at
    // once when the port is closed or the line gone. Not on the monitor thread (false).
    bool waitForReadyRead(int msecs) override;

    void setBaudRate(BaudRateType rate) override;
    void setDataBits(DataBitsType bits) override;
    void setParity(ParityType parity) override;
    void setStopBits(StopBitsType bits) override;
    void setFlowControl(FlowControlType flow) override;
    void setTimeout(long ms) override;
    void flush() override;
    using QextSerialBase::bytesAvailable;
    qint64 bytesAvailable() override;
    void ungetChar(char c) override;
    void setDtr(bool set = true) override;
    void setRts(bool set = true) override;
    ulong lineStatus() override;

    virtual BaudRateType portBaudRate() const;
    virtual ParityType portParity() const;
    virtual DataBitsType portDataBits() const;
    virtual StopBitsType portStopBits() const;
    virtual FlowControlType portFlowControl() const;

    // The system error number of the last open() of any port in this process that failed,
    // and that port's name; 0 once an open succeeds. Lets the window explain a failure the
    // worker reports only as a code.
    static int lastOpenError(QString* portName = nullptr);

    // The configuration and time-outs records as they stand (applied at open).
    SerialPlatform::LineConfig lineConfig() const;
    SerialPlatform::Timeouts timeouts() const;

protected:
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 maxSize) override;

    // One wait of the monitor thread and the dispatch of what it saw.
    void monitorCommEvent();

private:
    void init(IoMode ioMode);
    QString openDevice(int* err);
    void closeHandle();
    void startModemWatcher();
    void stopModemWatcher();
    void watchModemLines(SerialPlatform::Port* port);
    void markGone(int err);
    bool onMonitorThread() const;
    void wakeMonitor();
    qint64 takeInput(char* data, qint64 maxSize);
    // Wakes waitForReadyRead: new input was reported, or the line ended.
    void reportReady();
    bool flushOutput(int timeoutMs);

    // Written under the port lock and the input queue's lock; size() reads it under the latter.
    std::atomic<SerialPlatform::Port*> handle;
    SerialPlatform::Waker* waker; // wakes the monitor (stands in for clearing the event mask)
    std::atomic<bool> joining;    // a close waits for the monitor to end: no re-open meanwhile
    std::atomic<bool> txWaiting;  // a write awaits its completion report
    SerialPlatform::LineConfig config;
    SerialPlatform::Timeouts commTimeouts;
    QReadWriteLock* bytesToWriteLock;
    std::atomic<qint64> _bytesToWrite; // bytes written but not yet reported
    Win_QextSerialThread* overlapThread;

    // Their locks are taken after the port lock, never before it.
    SerialInputQueue input;
    SerialOutputQueue output;
    std::atomic<bool> gone; // the device vanished (hang-up, I/O error)
    // waitForReadyRead's wake-up. A leaf lock: nothing else is locked while it is held, so it
    // may be taken with the port lock or the queues' locks held.
    QMutex readyMutex;
    QWaitCondition readyArrived;
    quint64 readyReports = 0; // guarded by readyMutex
    std::atomic<int> goneErr;
    bool modemSupported;
    int lastDsr;
    // Blocks in the device's modem-line wait and wakes the monitor on a change, so that nothing
    // has to look at the lines periodically.
    std::thread modemWatcher;
    std::atomic<bool> modemChanged;
};

#endif // WIN_QEXTSERIALPORT_H
