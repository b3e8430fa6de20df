#ifndef DEVICEROWS_H
#define DEVICEROWS_H

// The cases of the device tests as plain data, so that each platform runs the same rows against
// its own simulated device. Values are platform-neutral (a failing write is "gone" or
// "passing", an open fails at a step); each platform's test maps them to its own error numbers
// and calls.
namespace DeviceRows
{

// What the simulated device is like.
struct Device {
    bool modemLines = false;       // DSR/CTS can be read
    bool modemWait = false;        // their changes can be waited for
    int outCapacity = 1 << 20;     // output queue, in bytes
    int drainPerMs = -1;           // bytes the queue sends per ms; -1 at once, 0 never
    bool interruptedCalls = false; // every call is interrupted once before it runs

    constexpr Device drain(int perMs) const
    {
        Device d = *this;
        d.drainPerMs = perMs;
        return d;
    }
    constexpr Device capacity(int bytes) const
    {
        Device d = *this;
        d.outCapacity = bytes;
        return d;
    }
    constexpr Device interrupted() const
    {
        Device d = *this;
        d.interruptedCalls = true;
        return d;
    }
    constexpr Device withoutModemWait() const
    {
        Device d = *this;
        d.modemWait = false;
        return d;
    }
};

// A USB serial adapter: modem lines, a small output queue sending about 1 MB/s.
constexpr Device usbDevice()
{
    Device d;
    d.modemLines = true;
    d.modemWait = true;
    d.outCapacity = 4096;
    d.drainPerMs = 1000;
    return d;
}

// An output queue that holds a whole transfer and never sends it.
constexpr Device stuckDevice()
{
    return usbDevice().capacity(1 << 20).drain(0);
}

// The rate a simulated device has before anyone sets it.
const unsigned int InitialRate = 9600;

struct TransferRow {
    const char* name;
    Device device;
    bool toggleLines;
};
const TransferRow transferRows[] = {
    {"pseudo-terminal-like device", Device(), false},
    {"every call interrupted once", Device().interrupted(), false},
    {"output queue drains slowly", usbDevice().drain(64), false},
    {"USB device, lines changing, calls interrupted", usbDevice().interrupted(), true},
};

enum OpenStep {
    OpensFine = 0,
    FailDevice = 1,        // the device itself cannot be opened
    FailInUse = 2,         // someone else holds it
    FailReadSettings = 3,  // its line settings cannot be read
    FailApplySettings = 4, // the line settings are refused
    FailEventSetup = 5     // setting up the event watch fails, once
};
struct OpenFailureRow {
    const char* name;
    OpenStep step;
    bool vanished;
};
const OpenFailureRow openFailureRows[] = {
    {"device cannot be opened", FailDevice, false},
    {"device in use", FailInUse, false},
    {"settings cannot be read", FailReadSettings, false},
    {"settings refused", FailApplySettings, false},
    {"wake-up handle cannot be made", FailEventSetup, false},
    {"device unplugged", OpensFine, true},
};

// A write error the device keeps giving (it has gone) or one that passes.
enum WriteError { WriteGone, WritePassing };
struct WriteFailureRow {
    const char* name;
    int failAfter; // bytes the device takes before its writes fail
    WriteError error;
    long long firstResult; // what writing 4000 bytes reports
    bool healsAndRetries;
};
const WriteFailureRow writeFailureRows[] = {
    {"EIO half-way", 1000, WriteGone, 1000, false},
    {"EIO before the first byte", 0, WriteGone, -1, false},
    {"passing error half-way, caller retries the rest", 1000, WritePassing, 1000, true},
    {"passing error at once, caller retries all", 0, WritePassing, -1, true},
};

struct CloseBoundedRow {
    const char* name;
    Device device;
    bool vanishFirst;
    bool outputDiscarded;
};
const CloseBoundedRow closeBoundedRows[] = {
    {"output queue never drains", stuckDevice(), false, true},
    {"output queue drains at 1 byte/ms", stuckDevice().drain(1), false, true},
    {"device vanishes with output queued", stuckDevice(), true, false},
    {"output drains in time", usbDevice(), false, false},
};

struct DeviceVanishesRow {
    const char* name;
    bool duringRead;
};
const DeviceVanishesRow deviceVanishesRows[] = {
    {"during a read", true},
    {"during a write", false},
};

struct IdleRow {
    const char* name;
    Device device;
    int pendingOutput; // bytes written before idling, which the device keeps
    bool dsrReported;  // DSR going up and down again is reported as such
};
const IdleRow idleRows[] = {
    {"modem lines reported by the device", usbDevice(), 0, true},
    {"modem lines the device cannot report", usbDevice().withoutModemWait(), 0, false},
    {"output waiting in the device", stuckDevice(), 4096, true},
};

// The port's rate codes for the rates of these rows (tst_serialdevice checks they agree), and
// the out-of-table rate the worker hands it.
enum RateSetting {
    Rate14400 = 13,
    Rate56000 = 16,
    Rate115200 = 19,
    Rate128000 = 20,
    Rate256000 = 21,
    WorkerRate = 131072
};
struct LinesAfterOpenRow {
    const char* name;
    int rate;
    bool hardwareFlow;
    unsigned int lineRate;
    bool rts;
};
const LinesAfterOpenRow linesAfterOpenRows[] = {
    {"14400", Rate14400, false, 14400, false},
    {"56000", Rate56000, false, 56000, false},
    {"128000", Rate128000, false, 128000, false},
    {"256000", Rate256000, false, 256000, false},
    {"115200, hardware flow", Rate115200, true, 115200, true},
    {"worker's 131072 keeps the rate", WorkerRate, false, InitialRate, false},
};

} // namespace DeviceRows

#endif // DEVICEROWS_H
