#ifndef SIMDEVICE_H
#define SIMDEVICE_H

#include <QByteArray>
#include <QString>

#include <termios.h>

// A serial device made in the test, behind the same system calls the port makes on a real one
// (serialsys_sim.cpp routes the calls on its path here). One object per device; its behaviour
// is set before the port opens it.
class SimDevice
{
public:
    struct Behaviour {
        bool modemLines = false;     // the device has DSR/CTS (TIOCMGET works)
        bool modemWait = false;      // it can report their changes (TIOCMIWAIT)
        int outCapacity = 1 << 20;   // its output queue, in bytes
        int drainPerMs = -1;         // bytes the queue sends per ms; -1 at once, 0 never
        qint64 writeFailsAfter = -1; // bytes taken before every write fails with failErrno
        int failErrno = 5;           // EIO
        bool eintr = false;          // every call is interrupted once before it runs
        int failOpenStep = 0;        // 1 open, 2 flock, 3 tcgetattr, 4 tcsetattr, 5 eventfd
        int closingWaitMs = 30000;   // how long close waits for queued output, like the kernel
    };

    SimDevice(const QString& path, const Behaviour& behaviour);
    ~SimDevice();

    QString path() const;
    // Bytes the device received from the port, in order, as they reached the line.
    QByteArray line() const;
    void push(const QByteArray& bytes); // bytes arriving from the console
    void setModemLines(bool dsr, bool cts);
    void vanish(); // unplugged: every call fails with EIO, close included
    void setDrainPerMs(int bytes);
    void healWrites(); // writes stop failing

    bool dtr() const;
    bool rts() const;
    unsigned int rate() const;
    termios settings() const;
    int openHandles() const;  // descriptors the port holds
    qint64 discarded() const; // output thrown away by tcflush
    int waitCalls() const;    // poll calls made on the device
    int modemReads() const;   // TIOCMGET calls
    int closeMs() const;      // time the last close spent waiting for output

    struct State;

private:
    State* d;
};

#endif // SIMDEVICE_H
