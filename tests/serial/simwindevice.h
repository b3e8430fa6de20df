#ifndef SIMWINDEVICE_H
#define SIMWINDEVICE_H

#include <windows.h>

#include <string>

// A serial device made in the test, behind the Win32 calls the platform file makes on a real
// one (SerialSys in serialsys_win.h, all served here). It behaves like a USB serial driver:
// overlapped operations complete by setting their record's event, writes go into an output
// queue that drains at a set rate. One object per device name ("COM7", opened as
// "\\.\COM7"); its behaviour is set before the device is opened.
class SimWinDevice
{
public:
    enum EventWaitFailure {
        EventWaitWorks,
        EventWaitRefused,    // waitCommEvent fails at once with failError
        EventWaitResultFails // it is accepted, then completes with failError
    };
    struct Behaviour {
        bool modemLines = false;        // GetCommModemStatus and the line functions work
        int outCapacity = 1 << 20;      // the output queue, in bytes
        int drainPerMs = -1;            // bytes the queue sends per ms; -1 at once, 0 never
        long long writeFailsAfter = -1; // bytes taken before every write fails with failError
        DWORD failError = ERROR_IO_DEVICE;
        int failOpenStep = 0; // 1 createFile, 2 in use, 3 getCommState, 4 setCommState,
                              // 5 setCommMask (once)
        EventWaitFailure eventWaitFails = EventWaitWorks;
        // False: a wait for DSR changes is refused with ERROR_NOT_SUPPORTED (as Wine does on a
        // pseudo-terminal), although the lines can be read.
        bool modemEvents = true;
        int closingWaitMs = 30000; // how long closing the handle waits for queued output
    };

    SimWinDevice(const std::string& name, const Behaviour& behaviour);
    ~SimWinDevice();
    SimWinDevice(const SimWinDevice&) = delete;
    SimWinDevice& operator=(const SimWinDevice&) = delete;

    // Bytes the device received, in order, as they entered its output queue.
    std::string line() const;
    void push(const std::string& bytes); // bytes arriving from the console
    void setModemLines(bool dsr, bool cts);
    void vanish(); // unplugged: see simwindevice.cpp for what every call then answers
    void setDrainPerMs(int bytes);
    void healWrites(); // writes stop failing

    bool dtr() const;
    bool rts() const;
    unsigned int rate() const;
    int openHandles() const;
    long long discarded() const; // output thrown away by purgeComm
    int waitCalls() const;       // waitCommEvent calls
    int modemReads() const;      // getCommModemStatus calls
    int closeMs() const;         // time the last closeHandle spent waiting for output

    struct State;

private:
    State* d;
};

#endif // SIMWINDEVICE_H
