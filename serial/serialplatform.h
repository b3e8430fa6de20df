#ifndef SERIALPLATFORM_H
#define SERIALPLATFORM_H

#include <cstdint>
#include <string>

// The operating system's serial interface, kept behind one small interface so that the port
// classes hold no system calls. One implementation per platform (serialplatform_unix.cpp,
// serialplatform_win.cpp), chosen by the build. Free of Qt, so that a platform file and its
// tests build where only the compiler is at hand.
//
// Error numbers are the platform's own (errno, or the Win32 error code); errorFlags(),
// errorString() and isGoneError() are their one reading.
class SerialPlatform
{
public:
    // An open device; opaque to callers, nullptr when invalid.
    struct Port;
    // A wake-up handle for waitEvents(); opaque, nullptr when invalid.
    struct Waker;

    // The device has gone (stands for a hang-up that came without an error number of its own).
    static const int ErrorGone;
    // A bounded wait ran out.
    static const int ErrorTimedOut;

    // The line configuration record. baudRate is the line rate in bit/s as read from the device;
    // a rate the device cannot take leaves its current rate in place.
    struct LineConfig {
        std::uint32_t baudRate = 0;
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
        std::uint32_t readInterval = 0;
        std::uint32_t readTotalMultiplier = 0;
        std::uint32_t readTotalConstant = 0;
        std::uint32_t writeTotalMultiplier = 0;
        std::uint32_t writeTotalConstant = 0;
    };
    static constexpr std::uint32_t MaxTimeout = 0xFFFFFFFFu;

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
        WaitFailed = 0x20,
        // A modem line changed, on a platform whose event wait reports it (waitModemChange()
        // then has nothing to do there).
        WaitModemChanged = 0x40
    };

    // Opens the device (name in UTF-8) read-write, not as controlling terminal, non-blocking and
    // exclusively (a second opener fails). Saves the line settings so closePort() can restore
    // them. nullptr on failure with *err set, nothing held.
    static Port* openPort(const std::string& name, int* err);
    // Restores the saved settings (keeping echo and line editing off), drops the exclusive hold
    // and closes, without waiting for output. Frees port.
    static bool closePort(Port* port, int* err);

    static bool readConfig(Port* port, LineConfig* config, int* err);
    // Raw, binary line with the record's framing and flow control.
    static bool applyConfig(Port* port, const LineConfig& config, int* err);
    // Read and write time-outs for the blocking transfers of readSome()/writeAll().
    static bool applyTimeouts(Port* port, const Timeouts& timeouts, int* err);
    // Chooses the events waitEvents() wakes for: arrived bytes, output taken, DSR changes.
    static bool watchEvents(Port* port, int* err);

    // Reads under the time-outs record: with the interval at MaxTimeout and both read totals 0
    // it returns at once with what has arrived (0 when nothing has). -1 on failure; a vanished
    // device gives -1 with an error that isGoneError() knows.
    static std::int64_t readSome(Port* port, char* data, std::int64_t maxSize, int* err);
    // Reads without waiting: bytes read, 0 when nothing is there, -1 on failure (isGoneError() when
    // the device has gone).
    static std::int64_t readNow(Port* port, char* data, std::int64_t maxSize, int* err);
    // Writes all bytes under the time-outs record. Count written or -1.
    static std::int64_t writeAll(Port* port, const char* data, std::int64_t size, int* err);
    // Writes what the device takes now: the count it has taken (maybe 0; the caller offers the
    // same bytes again, first, once waitEvents() reports the port writable) or -1.
    static std::int64_t writeNow(Port* port, const char* data, std::int64_t size, int* err);

    // Bytes waiting in the device's input queue, -1 on failure.
    static std::int64_t inputQueue(Port* port, int* err);
    // Bytes in the device's output queue; 0 where the device cannot tell, -1 on failure.
    static std::int64_t outputQueue(Port* port, int* err);
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
    // cancelModemWait() ended it, -1 on failure (the device cannot report changes this way, or
    // it has gone).
    static int waitModemChange(Port* port, int* err);
    // Ends a waitModemChange() blocked in another thread and returns once it has left.
    static void cancelModemWait(Port* port);

    // A wake-up handle another thread can poke to end a waitEvents() early.
    static Waker* createWaker(int* err);
    static void destroyWaker(Waker* waker);
    static void wake(Waker* waker);
    static void clearWake(Waker* waker);

    // Sleeps until the port is readable (wantRead), writable (wantWrite), hangs up, the waker is
    // poked or timeoutMs passes (-1: no limit). port may be nullptr to sleep on the waker only.
    // One thread at a time waits on a port, except that a wait for writing alone may run beside
    // it.
    static int waitEvents(Port* port, bool wantRead, bool wantWrite, Waker* waker, int timeoutMs,
                          int* err);

    // The one mapping of system error numbers: to error flags and to a readable message.
    static unsigned long errorFlags(int err);
    static std::string errorString(int err);
    static bool isGoneError(int err);
};

#endif // SERIALPLATFORM_H
