// Windows implementation of the serial interface: the communications functions on a device
// opened for overlapped I/O, with event objects for every wait.
#include "serialplatform.h"

#include "serialsys_win.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

const int SerialPlatform::ErrorGone = ERROR_BAD_COMMAND;
const int SerialPlatform::ErrorTimedOut = ERROR_TIMEOUT;

struct SerialPlatform::Waker {
    HANDLE event = nullptr;
};

namespace
{

// What the monitor waits for: arrived bytes, an empty transmit queue, DSR changes.
const DWORD EventMask = EV_RXCHAR | EV_TXEMPTY | EV_DSR;
// How long closing waits for an operation it cancelled; a driver that never completes one
// costs that record (left allocated) rather than a hang.
const DWORD CancelWaitMs = 1000;
// The largest single write handed to the driver; the rest follows when it completes.
const std::size_t WriteChunk = 64 * 1024;

// One overlapped operation with its own manual-reset event.
struct Operation {
    OVERLAPPED record{};
    bool pending = false;

    bool create()
    {
        record.hEvent = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
        return record.hEvent != nullptr;
    }
    void restart()
    {
        HANDLE event = record.hEvent;
        record = OVERLAPPED{};
        record.hEvent = event;
        ::ResetEvent(event);
    }
    bool signalled() const { return ::WaitForSingleObject(record.hEvent, 0) == WAIT_OBJECT_0; }
};

using Clock = std::chrono::steady_clock;

int remainingMs(Clock::time_point deadline)
{
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? int(std::min<long long>(left, 1 << 30)) : 0;
}

int lastError()
{
    return int(::GetLastError());
}

bool isNotSupported(int err)
{
    return err == ERROR_INVALID_FUNCTION || err == ERROR_NOT_SUPPORTED ||
           err == ERROR_INVALID_PARAMETER || err == ERROR_CALL_NOT_IMPLEMENTED;
}

} // namespace

struct SerialPlatform::Port {
    HANDLE device = INVALID_HANDLE_VALUE;
    DCB saved{};
    // The event wait stays outstanding across waitEvents() calls, so that no event that comes
    // between two waits is lost. Only the monitor thread waits.
    Operation event;
    DWORD eventMask = 0;
    bool modemEventsRefused = false;
    // One write at a time: the driver holds the bytes until it completes, and only then are they
    // reported taken, so a failure half-way reports exactly what went.
    std::mutex txLock;
    Operation write;
    std::vector<char> writing;
    int writeErr = 0; // a failure seen after a partial write, for the next call
};

namespace
{

// Waits, within the bound, for a pending operation that was told to end (mask, purge or cancel).
// False when it did not end, so that its record must outlive the port.
bool settle(SerialPlatform::Port* port, Operation* op)
{
    if (!op->pending)
        return true;
    if (::WaitForSingleObject(op->record.hEvent, CancelWaitMs) != WAIT_OBJECT_0)
        return false;
    DWORD n = 0;
    SerialSys::getOverlappedResult(port->device, &op->record, &n, FALSE);
    op->pending = false;
    return true;
}

// Collects a finished write, if one is in flight: its count taken (0 while it is still going),
// or -1 when it failed before taking any byte.
std::int64_t collectWrite(SerialPlatform::Port* port, int* err)
{
    Operation& w = port->write;
    if (!w.pending)
        return 0;
    DWORD n = 0;
    if (!SerialSys::getOverlappedResult(port->device, &w.record, &n, FALSE)) {
        const int e = lastError();
        if (e == ERROR_IO_INCOMPLETE)
            return 0;
        w.pending = false;
        if (n > 0) {
            port->writeErr = e;
            return n;
        }
        *err = e;
        return -1;
    }
    w.pending = false;
    return n;
}

} // namespace

SerialPlatform::Port* SerialPlatform::openPort(const std::string& name, int* err)
{
    // COM10 and above open only by their device path; the short form serves every port.
    const std::string path = name.rfind("\\\\", 0) == 0 ? name : "\\\\.\\" + name;
    Port* port = new Port;
    port->saved.DCBlength = sizeof(DCB);
    port->device = SerialSys::createFile(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                                         OPEN_EXISTING, FILE_FLAG_OVERLAPPED);
    int failure = 0;
    if (port->device == INVALID_HANDLE_VALUE)
        failure = lastError();
    else if (!port->event.create() || !port->write.create())
        failure = lastError();
    else if (!SerialSys::getCommState(port->device, &port->saved))
        failure = lastError();
    if (failure) {
        // One way out, whatever was made: nothing stays held.
        if (port->device != INVALID_HANDLE_VALUE)
            SerialSys::closeHandle(port->device);
        for (Operation* op : {&port->event, &port->write})
            if (op->record.hEvent)
                ::CloseHandle(op->record.hEvent);
        delete port;
        *err = failure;
        return nullptr;
    }
    return port;
}

bool SerialPlatform::closePort(Port* port, int* err)
{
    if (!port)
        return true;
    // Nothing may wait for the device from here on: the mask ends the event wait and the purge
    // the transfers, whichever thread started them; the cancel takes what this thread has left.
    SerialSys::setCommMask(port->device, 0);
    SerialSys::purgeComm(port->device,
                         PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR);
    SerialSys::cancelIo(port->device);
    bool settled = true;
    for (Operation* op : {&port->event, &port->write})
        settled = settle(port, op) && settled;
    // Fails harmlessly on a vanished device.
    SerialSys::setCommState(port->device, &port->saved);
    bool ok = true;
    if (!SerialSys::closeHandle(port->device)) {
        *err = lastError();
        ok = false;
    }
    if (!settled)
        return ok; // a driver still holds a record: it stays allocated, not freed under it
    for (Operation* op : {&port->event, &port->write})
        ::CloseHandle(op->record.hEvent);
    delete port;
    return ok;
}

bool SerialPlatform::readConfig(Port* port, LineConfig* config, int* err)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!SerialSys::getCommState(port->device, &dcb)) {
        *err = lastError();
        return false;
    }
    config->baudRate = dcb.BaudRate;
    config->byteSize = dcb.ByteSize;
    config->parity = dcb.Parity;
    config->stopBits = dcb.StopBits;
    config->fBinary = dcb.fBinary;
    config->fParity = dcb.fParity;
    config->fOutxCtsFlow = dcb.fOutxCtsFlow;
    config->fOutX = dcb.fOutX;
    config->fInX = dcb.fInX;
    config->fNull = dcb.fNull;
    config->fRtsControl = dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ? RtsHandshake
                          : dcb.fRtsControl == RTS_CONTROL_ENABLE  ? RtsEnable
                                                                   : RtsDisable;
    config->fAbortOnError = dcb.fAbortOnError;
    return true;
}

bool SerialPlatform::applyConfig(Port* port, const LineConfig& config, int* err)
{
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!SerialSys::getCommState(port->device, &dcb)) {
        *err = lastError();
        return false;
    }
    // The driver takes any rate in bit/s; 0 leaves the line's own.
    if (config.baudRate)
        dcb.BaudRate = config.baudRate;
    dcb.ByteSize = BYTE(config.byteSize);
    dcb.Parity = BYTE(config.parity);
    dcb.StopBits = BYTE(config.stopBits);
    // Binary always: the driver would otherwise stop at an end-of-file byte.
    dcb.fBinary = TRUE;
    dcb.fParity = config.fParity;
    dcb.fOutxCtsFlow = config.fOutxCtsFlow;
    dcb.fOutxDsrFlow = FALSE;
    dcb.fDsrSensitivity = FALSE;
    dcb.fOutX = config.fOutX;
    dcb.fInX = config.fInX;
    dcb.fNull = config.fNull;
    dcb.fErrorChar = FALSE;
    dcb.fAbortOnError = config.fAbortOnError;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fRtsControl = config.fRtsControl == RtsHandshake ? RTS_CONTROL_HANDSHAKE
                      : config.fRtsControl == RtsEnable  ? RTS_CONTROL_ENABLE
                                                         : RTS_CONTROL_DISABLE;
    if (!SerialSys::setCommState(port->device, &dcb)) {
        *err = lastError();
        return false;
    }
    return true;
}

bool SerialPlatform::applyTimeouts(Port* port, const Timeouts& timeouts, int* err)
{
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = timeouts.readInterval;
    t.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    t.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    t.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    t.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    if (!SerialSys::setCommTimeouts(port->device, &t)) {
        *err = lastError();
        return false;
    }
    return true;
}

bool SerialPlatform::watchEvents(Port* port, int* err)
{
    if (!SerialSys::setCommMask(port->device, EventMask)) {
        *err = lastError();
        return false;
    }
    return true;
}

namespace
{
// One overlapped read under whatever time-outs the device has, waited for to its end. Its own
// record, since the monitor and a reader may each read.
std::int64_t readWaited(SerialPlatform::Port* port, char* data, std::int64_t size, int* err)
{
    Operation r;
    if (!r.create()) {
        *err = lastError();
        return -1;
    }
    DWORD n = 0;
    BOOL ok = SerialSys::readFile(port->device, data, DWORD(size), &r.record);
    if (ok || lastError() == ERROR_IO_PENDING)
        ok = SerialSys::getOverlappedResult(port->device, &r.record, &n, TRUE);
    if (!ok)
        *err = lastError();
    ::CloseHandle(r.record.hEvent);
    if (!ok)
        return n > 0 ? std::int64_t(n) : -1;
    return n;
}
} // namespace

std::int64_t SerialPlatform::readNow(Port* port, char* data, std::int64_t maxSize, int* err)
{
    if (maxSize <= 0)
        return 0;
    const std::int64_t queued = inputQueue(port, err);
    if (queued <= 0)
        return queued;
    // What has arrived is there to take: the read ends at once whatever the time-outs.
    return readWaited(port, data, std::min(queued, std::min<std::int64_t>(maxSize, MAXDWORD)), err);
}

std::int64_t SerialPlatform::readSome(Port* port, char* data, std::int64_t maxSize, int* err)
{
    if (maxSize <= 0)
        return 0;
    return readWaited(port, data, std::min<std::int64_t>(maxSize, MAXDWORD), err);
}

std::int64_t SerialPlatform::writeNow(Port* port, const char* data, std::int64_t size, int* err)
{
    if (size <= 0)
        return 0;
    std::lock_guard<std::mutex> tx(port->txLock);
    // The write in flight holds the head of what the caller offers again.
    if (port->write.pending)
        return collectWrite(port, err);
    if (port->writeErr) {
        *err = port->writeErr;
        port->writeErr = 0;
        return -1;
    }
    Operation& w = port->write;
    w.restart();
    const std::size_t n = std::min<std::size_t>(std::size_t(size), WriteChunk);
    port->writing.assign(data, data + n);
    if (!SerialSys::writeFile(port->device, port->writing.data(), DWORD(n), &w.record)) {
        const int e = lastError();
        if (e != ERROR_IO_PENDING) {
            // The driver may have taken part of it before failing: that part went.
            DWORD taken = 0;
            if (!SerialSys::getOverlappedResult(port->device, &w.record, &taken, FALSE) &&
                lastError() != ERROR_IO_INCOMPLETE && taken > 0) {
                port->writeErr = e;
                return taken;
            }
            *err = e;
            return -1;
        }
    }
    w.pending = true;
    return collectWrite(port, err);
}

std::int64_t SerialPlatform::writeAll(Port* port, const char* data, std::int64_t size, int* err)
{
    {
        // A write still in flight goes first; its bytes belong to an earlier call.
        std::lock_guard<std::mutex> tx(port->txLock);
        if (port->write.pending) {
            DWORD n = 0;
            SerialSys::getOverlappedResult(port->device, &port->write.record, &n, TRUE);
            port->write.pending = false;
        }
        port->writeErr = 0;
    }
    std::int64_t done = 0;
    while (done < size) {
        Operation& w = port->write;
        w.restart();
        const DWORD n = DWORD(std::min<std::int64_t>(size - done, MAXDWORD));
        DWORD sent = 0;
        if (!SerialSys::writeFile(port->device, data + done, n, &w.record) &&
            lastError() != ERROR_IO_PENDING) {
            *err = lastError();
            return done > 0 ? done : -1;
        }
        // The write time-outs of the record bound this wait.
        const BOOL ok = SerialSys::getOverlappedResult(port->device, &w.record, &sent, TRUE);
        done += sent;
        if (!ok) {
            *err = lastError();
            return done > 0 ? done : -1;
        }
        if (sent < n)
            break; // timed out
    }
    return done;
}

namespace
{
// The driver's queue status; false with *err on failure.
bool queueStatus(SerialPlatform::Port* port, COMSTAT* status, int* err)
{
    DWORD errors = 0;
    if (SerialSys::clearCommError(port->device, &errors, status))
        return true;
    *err = lastError();
    return false;
}
} // namespace

std::int64_t SerialPlatform::inputQueue(Port* port, int* err)
{
    COMSTAT status{};
    return queueStatus(port, &status, err) ? std::int64_t(status.cbInQue) : -1;
}

std::int64_t SerialPlatform::outputQueue(Port* port, int* err)
{
    // Counts what writes still in flight hold, too.
    COMSTAT status{};
    return queueStatus(port, &status, err) ? std::int64_t(status.cbOutQue) : -1;
}

void SerialPlatform::discardOutput(Port* port)
{
    SerialSys::purgeComm(port->device, PURGE_TXABORT | PURGE_TXCLEAR);
    std::lock_guard<std::mutex> tx(port->txLock);
    if (settle(port, &port->write))
        port->writeErr = 0;
}

bool SerialPlatform::drainOutput(Port* port, int timeoutMs, int* err)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    {
        std::unique_lock<std::mutex> tx(port->txLock);
        if (port->write.pending) {
            const HANDLE done = port->write.record.hEvent;
            tx.unlock();
            if (::WaitForSingleObject(done, DWORD(remainingMs(deadline))) != WAIT_OBJECT_0) {
                *err = ErrorTimedOut;
                return false;
            }
        }
    }
    for (;;) {
        const std::int64_t left = outputQueue(port, err);
        if (left < 0)
            return false;
        if (left == 0)
            return true;
        if (remainingMs(deadline) == 0) {
            *err = ErrorTimedOut;
            return false;
        }
        // Only close and flush wait here, bounded; the driver's queue has no event of its own
        // that the monitor's wait does not already hold.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool SerialPlatform::setDtr(Port* port, bool set, int* err)
{
    if (!SerialSys::escapeCommFunction(port->device, set ? SETDTR : CLRDTR)) {
        *err = lastError();
        return false;
    }
    return true;
}

bool SerialPlatform::setRts(Port* port, bool set, int* err)
{
    if (!SerialSys::escapeCommFunction(port->device, set ? SETRTS : CLRRTS)) {
        *err = lastError();
        return false;
    }
    return true;
}

int SerialPlatform::modemStatus(Port* port, bool* supported, int* err)
{
    DWORD status = 0;
    if (!SerialSys::getCommModemStatus(port->device, &status)) {
        const int e = lastError();
        if (isNotSupported(e)) {
            *supported = false;
            return 0;
        }
        *supported = true;
        *err = e;
        return -1;
    }
    *supported = true;
    int lines = 0;
    if (status & MS_CTS_ON)
        lines |= ModemCts;
    if (status & MS_DSR_ON)
        lines |= ModemDsr;
    if (status & MS_RING_ON)
        lines |= ModemRing;
    if (status & MS_RLSD_ON)
        lines |= ModemDcd;
    return lines;
}

int SerialPlatform::waitModemChange(Port*, int* err)
{
    // The event wait reports DSR changes itself (WaitModemChanged); a second wait on the same
    // device is not allowed.
    *err = ERROR_NOT_SUPPORTED;
    return -1;
}

void SerialPlatform::cancelModemWait(Port*) {}

SerialPlatform::Waker* SerialPlatform::createWaker(int* err)
{
    HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!event) {
        *err = lastError();
        return nullptr;
    }
    Waker* waker = new Waker;
    waker->event = event;
    return waker;
}

void SerialPlatform::destroyWaker(Waker* waker)
{
    if (!waker)
        return;
    ::CloseHandle(waker->event);
    delete waker;
}

void SerialPlatform::wake(Waker* waker)
{
    if (waker)
        ::SetEvent(waker->event);
}

void SerialPlatform::clearWake(Waker* waker)
{
    if (waker)
        ::ResetEvent(waker->event);
}

namespace
{
// What a finished event wait reported, as waitEvents() flags.
int eventFlags(SerialPlatform::Port* port, bool wantWrite, int* err)
{
    Operation& ev = port->event;
    ev.pending = false;
    DWORD unused = 0;
    // The event is set, so waiting cannot block. Wine may set it while the record still reads
    // pending; a waiting collect takes that as ended, a non-waiting one would fail with 996.
    if (!SerialSys::getOverlappedResult(port->device, &ev.record, &unused, TRUE)) {
        const int e = lastError();
        // Ended by a mask change or a cancel: nothing happened. (Wine also ends a wait on a
        // pseudo-terminal this way, after a few milliseconds.) A device that has gone fails
        // the next look at it.
        if (e == ERROR_OPERATION_ABORTED)
            return 0;
        *err = e;
        return SerialPlatform::isGoneError(e) ? SerialPlatform::WaitHangup
                                              : SerialPlatform::WaitFailed;
    }
    int flags = 0;
    if (port->eventMask & EV_RXCHAR)
        flags |= SerialPlatform::WaitReadable;
    if ((port->eventMask & EV_TXEMPTY) && wantWrite)
        flags |= SerialPlatform::WaitWritable;
    if (port->eventMask & (EV_DSR | EV_CTS | EV_RLSD | EV_RING))
        flags |= SerialPlatform::WaitModemChanged;
    return flags;
}

// Starts the event wait: -1 when it is pending, else what waitEvents() returns at once.
int startEventWait(SerialPlatform::Port* port, bool wantWrite, int* err)
{
    Operation& ev = port->event;
    for (;;) {
        ev.restart();
        port->eventMask = 0;
        if (SerialSys::waitCommEvent(port->device, &port->eventMask, &ev.record))
            return eventFlags(port, wantWrite, err);
        const int e = lastError();
        if (e == ERROR_IO_PENDING) {
            ev.pending = true;
            return -1;
        }
        // A device without modem lines may refuse to watch them (a pseudo-terminal under Wine
        // does): it is watched for bytes alone, and DSR is never reported.
        if ((e == ERROR_NOT_SUPPORTED || e == ERROR_INVALID_FUNCTION) &&
            !port->modemEventsRefused) {
            port->modemEventsRefused = true;
            if (SerialSys::setCommMask(port->device, EventMask & ~DWORD(EV_DSR)))
                continue;
        }
        *err = e;
        return SerialPlatform::isGoneError(e) ? SerialPlatform::WaitHangup
                                              : SerialPlatform::WaitFailed;
    }
}
} // namespace

int SerialPlatform::waitEvents(Port* port, bool wantRead, bool wantWrite, Waker* waker,
                               int timeoutMs, int* err)
{
    HANDLE handles[3];
    DWORD count = 0;
    if (waker)
        handles[count++] = waker->event;
    int eventIndex = -1;
    int writeIndex = -1;
    if (port) {
        // Bytes that came before this wait gave their event to an earlier one.
        if (wantRead) {
            const std::int64_t queued = inputQueue(port, err);
            if (queued > 0)
                return WaitReadable;
            if (queued < 0)
                return isGoneError(*err) ? WaitHangup : WaitFailed;
        }
        if (wantWrite) {
            std::lock_guard<std::mutex> tx(port->txLock);
            if (!port->write.pending || port->write.signalled())
                return WaitWritable;
            handles[count] = port->write.record.hEvent;
            writeIndex = int(count++);
        }
    }
    // The device allows one event wait, and it belongs to the monitor's waits. A wait for
    // output alone (a flush, beside the monitor) watches the write only.
    if (port && (wantRead || !wantWrite)) {
        Operation& ev = port->event;
        if (!ev.pending) {
            const int started = startEventWait(port, wantWrite, err);
            if (started >= 0)
                return started;
        }
        handles[count] = ev.record.hEvent;
        eventIndex = int(count++);
    }
    if (count == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::max(timeoutMs, 0)));
        return WaitTimeout;
    }
    const DWORD r = ::WaitForMultipleObjects(count, handles, FALSE,
                                             timeoutMs < 0 ? INFINITE : DWORD(timeoutMs));
    if (r == WAIT_TIMEOUT)
        return WaitTimeout;
    if (r == WAIT_FAILED) {
        *err = lastError();
        return WaitFailed;
    }
    int flags = 0;
    if (waker && ::WaitForSingleObject(waker->event, 0) == WAIT_OBJECT_0)
        flags |= WaitWoken;
    if (writeIndex >= 0 && ::WaitForSingleObject(handles[writeIndex], 0) == WAIT_OBJECT_0)
        flags |= WaitWritable;
    if (eventIndex >= 0 && ::WaitForSingleObject(handles[eventIndex], 0) == WAIT_OBJECT_0)
        flags |= eventFlags(port, wantWrite, err);
    return flags;
}

unsigned long SerialPlatform::errorFlags(int err)
{
    if (err == 0)
        return 0;
    if (isGoneError(err))
        return FlagIo;
    switch (err) {
    case ERROR_NO_SYSTEM_RESOURCES:
    case ERROR_NOT_ENOUGH_MEMORY:
        return FlagTxFull;
    default:
        return FlagMode;
    }
}

std::string SerialPlatform::errorString(int err)
{
    wchar_t* text = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, DWORD(err), 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string utf8;
    if (n > 0 && text) {
        DWORD len = n;
        while (len > 0 &&
               (text[len - 1] == L'\r' || text[len - 1] == L'\n' || text[len - 1] == L' '))
            --len;
        const int size =
            ::WideCharToMultiByte(CP_UTF8, 0, text, int(len), nullptr, 0, nullptr, nullptr);
        utf8.resize(std::size_t(size));
        ::WideCharToMultiByte(CP_UTF8, 0, text, int(len), &utf8[0], size, nullptr, nullptr);
    }
    if (text)
        ::LocalFree(text);
    if (utf8.empty())
        utf8 = "error " + std::to_string(err);
    return utf8;
}

bool SerialPlatform::isGoneError(int err)
{
    // What USB serial drivers answer once the cable is pulled, and a handle already closed.
    switch (err) {
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_GEN_FAILURE:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_NOT_READY:
    case ERROR_BROKEN_PIPE:
    case ERROR_INVALID_HANDLE:
    case ERROR_FILE_NOT_FOUND:
        return true;
    default:
        return false;
    }
}
