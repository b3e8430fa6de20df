#ifndef SERIALPLATFORM_H
#define SERIALPLATFORM_H

#include <QString>
#include <QtGlobal>

// The operating system's serial interface, kept behind one small interface so that the port
// classes hold no system calls. One implementation per platform (serialplatform_unix.cpp).
class SerialPlatform
{
public:
    // An open device; opaque to callers, nullptr when invalid.
    struct Port;

    // The line configuration record. baudRate is the line rate in bit/s as read from the device;
    // a rate the device cannot take leaves its current rate in place.
    struct LineConfig {
        quint32 baudRate = 0;
        int byteSize = 8;
        int parity = 0;   // ParityType codes
        int stopBits = 0; // StopBitsType codes
        bool fBinary = true;
        bool fParity = false;
        bool fOutxCtsFlow = false;
        bool fOutX = false;
        bool fInX = false;
        bool fNull = false;
        int fRtsControl = RtsDisable;
        bool fAbortOnError = false;
    };
    enum RtsControl { RtsDisable = 0, RtsEnable = 1, RtsHandshake = 2 };

    // Time-outs record; MaxTimeout stands for "all bits set".
    struct Timeouts {
        quint32 readInterval = 0;
        quint32 readTotalMultiplier = 0;
        quint32 readTotalConstant = 0;
        quint32 writeTotalMultiplier = 0;
        quint32 writeTotalConstant = 0;
    };
    static constexpr quint32 MaxTimeout = 0xFFFFFFFFu;

    // Line error flags, as reported by the status query.
    enum ErrorFlag {
        FlagRxOver = 0x0001,
        FlagOverrun = 0x0002,
        FlagParity = 0x0004,
        FlagFrame = 0x0008,
        FlagBreak = 0x0010,
        FlagTxFull = 0x0100,
        FlagIo = 0x0400,
        FlagMode = 0x8000
    };

    // Modem lines.
    enum ModemLine { ModemCts = 0x10, ModemDsr = 0x20, ModemRing = 0x40, ModemDcd = 0x80 };

    // What waitEvents() saw.
    enum WaitFlag {
        WaitReadable = 0x01,
        WaitWritable = 0x02,
        WaitHangup = 0x04,
        WaitWoken = 0x08,
        WaitTimeout = 0x10,
        WaitFailed = 0x20
    };

    // Opens the device read-write, not as controlling terminal, non-blocking and exclusively
    // (a second opener gets EBUSY). Saves the terminal settings so closePort() can restore them.
    // nullptr on failure with *err set.
    static Port* openPort(const QString& name, int* err);
    // Restores the saved settings (keeping echo and line editing off), drops the exclusive lock
    // and closes. Frees port.
    static bool closePort(Port* port, int* err);

    static bool readConfig(Port* port, LineConfig* config, int* err);
    // Raw, binary line with the record's framing and flow control.
    static bool applyConfig(Port* port, const LineConfig& config, int* err);
    // Read and write time-outs for the blocking transfers of readSome()/writeAll().
    static bool applyTimeouts(Port* port, const Timeouts& timeouts, int* err);

    // Reads under the time-outs record: with the interval at MaxTimeout and both read totals 0
    // it returns at once with what has arrived (0 when nothing has). -1 on failure; a vanished
    // device gives -1 with *err EIO.
    static qint64 readSome(Port* port, char* data, qint64 maxSize, int* err);
    // Reads without waiting: bytes read, 0 when nothing is there, -1 on failure (*err EIO when
    // the device has gone).
    static qint64 readNow(Port* port, char* data, qint64 maxSize, int* err);
    // Writes all bytes under the time-outs record. Count written or -1.
    static qint64 writeAll(Port* port, const char* data, qint64 size, int* err);
    // Writes what the device takes now: count written (maybe 0) or -1.
    static qint64 writeNow(Port* port, const char* data, qint64 size, int* err);

    // Bytes waiting in the device's input queue, -1 on failure.
    static qint64 inputQueue(Port* port, int* err);
    // Bytes in the device's output queue; 0 where the device cannot tell, -1 on failure.
    static qint64 outputQueue(Port* port, int* err);
    // Waits at most timeoutMs for the output queue to drain. False on time-out or failure.
    static bool drainOutput(Port* port, int timeoutMs, int* err);
    // Throws away what the device's output queue still holds.
    static void discardOutput(Port* port);

    static bool setDtr(Port* port, bool set, int* err);
    static bool setRts(Port* port, bool set, int* err);
    // Modem lines as ModemLine bits; -1 on failure. *supported is false where the device has no
    // modem lines (a pseudo-terminal), which is not an error.
    static int modemStatus(Port* port, bool* supported, int* err);

    // Blocks until a modem line (DSR, CTS, DCD, RI) changes: 1 on a change, 0 when
    // cancelModemWait() ended it, -1 on failure (ENOTTY/EINVAL: the device cannot report
    // changes; EIO: it has gone).
    static int waitModemChange(Port* port, int* err);
    // Ends a waitModemChange() blocked in another thread and returns once it has left.
    static void cancelModemWait(Port* port);

    // A wake-up handle another thread can poke to end a waitEvents() early.
    static int createWaker(int* err);
    static void destroyWaker(int waker);
    static void wake(int waker);
    static void clearWake(int waker);

    // Sleeps until the port is readable (wantRead), writable (wantWrite), hangs up, the waker is
    // poked or timeoutMs passes (-1: no limit). port may be nullptr to sleep on the waker only.
    static int waitEvents(Port* port, bool wantRead, bool wantWrite, int waker, int timeoutMs,
                          int* err);

    // The one mapping of system error numbers: to error flags and to a readable message.
    static ulong errorFlags(int err);
    static QString errorString(int err);
    static bool isGoneError(int err);
};

#endif // SERIALPLATFORM_H
