// The simulated Win32 serial device and, for the test build, the calls the platform file makes
// (SerialSys). Events, waits and the error number are the system's own: an overlapped
// operation completes by recording its result here and setting its record's event.
//
// A vanished device answers as a USB serial driver does after a surprise removal: requests
// still pending are cancelled (ERROR_OPERATION_ABORTED) and every new request on the handle
// fails with ERROR_BAD_COMMAND. CancelIo, GetOverlappedResult and CloseHandle are the I/O
// manager's and keep working; opening the name again fails with ERROR_FILE_NOT_FOUND.
#include "simwindevice.h"

#include "serialsys_win.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;

namespace
{

// One overlapped operation as the driver holds it.
struct Operation {
    HANDLE event = nullptr;
    DWORD thread = 0; // CancelIo cancels only what the calling thread started
    bool done = false;
    bool ok = false;
    DWORD error = 0;
    DWORD transferred = 0;
    const char* data = nullptr; // a write's bytes, taken from the caller's buffer as they go
    DWORD size = 0;
    DWORD* mask = nullptr; // an event wait's answer
};

const ULONG_PTR StatusPending = 0x103;
const ULONG_PTR StatusUnsuccessful = 0xC0000001;

} // namespace

struct SimWinDevice::State {
    std::string name;
    Behaviour b;
    std::string input;
    std::string line;
    long long outq = 0;
    long long taken = 0;
    bool txBusy = false; // bytes went in since the queue last ran empty
    Clock::time_point lastDrain = Clock::now();
    bool dsr = false, cts = false, dtr = false, rts = false;
    bool gone = false;
    HANDLE handle = nullptr;
    int handles = 0;
    DCB dcb{};
    COMMTIMEOUTS timeouts{};
    DWORD mask = 0;
    DWORD history = 0; // events that came while no wait was outstanding
    long long discarded = 0;
    int waitCalls = 0, modemReads = 0, closeMs = 0;
    std::map<OVERLAPPED*, Operation> ops;
    OVERLAPPED* commWait = nullptr;
    std::deque<OVERLAPPED*> writes;
    std::thread drainer;
    bool draining = false;
    bool dying = false;

    void finish(OVERLAPPED* ov, bool ok, DWORD error, DWORD transferred);
    void abortPending(bool (*which)(const Operation&));
    void raise(DWORD events);
    void feedWrites();
    void settle();
    void startDrainer();
    long long outputQueue() const;
};

namespace
{

std::mutex g;
std::map<std::string, SimWinDevice::State*> byName;
std::map<HANDLE, SimWinDevice::State*> byHandle;

struct Result {
    BOOL ok;
    DWORD error;
};
const Result Done{TRUE, 0};
Result failed(DWORD error)
{
    return Result{FALSE, error};
}

// The error number is set last, once the lock is released, so nothing can overwrite it.
BOOL answer(Result r)
{
    if (!r.ok)
        ::SetLastError(r.error);
    return r.ok;
}

// Runs a call on the device behind the handle: an unknown handle is invalid, a vanished
// device refuses the call unless the I/O manager serves it (ioManager).
template <typename Call> BOOL onDevice(HANDLE h, bool ioManager, Call call)
{
    Result r;
    {
        std::lock_guard<std::mutex> lock(g);
        auto it = byHandle.find(h);
        if (it == byHandle.end())
            r = failed(ERROR_INVALID_HANDLE);
        else if (it->second->gone && !ioManager)
            r = failed(ERROR_BAD_COMMAND);
        else
            r = call(it->second);
    }
    return answer(r);
}

bool isPending(const Operation& op)
{
    return !op.done;
}

// Registers a new operation on a caller's record, resetting its event as the system does.
Result start(SimWinDevice::State* s, OVERLAPPED* ov, Operation** op)
{
    if (!ov || !ov->hEvent)
        return failed(ERROR_INVALID_PARAMETER);
    auto it = s->ops.find(ov);
    if (it != s->ops.end() && !it->second.done)
        return failed(ERROR_INVALID_PARAMETER); // a record still in flight used again
    Operation fresh;
    fresh.event = ov->hEvent;
    fresh.thread = ::GetCurrentThreadId();
    *op = &(s->ops[ov] = fresh);
    ov->Internal = StatusPending;
    ov->InternalHigh = 0;
    ::ResetEvent(ov->hEvent);
    return Done;
}

} // namespace

void SimWinDevice::State::finish(OVERLAPPED* ov, bool ok, DWORD error, DWORD transferred)
{
    Operation& op = ops[ov];
    op.done = true;
    op.ok = ok;
    op.error = error;
    op.transferred = transferred;
    ov->Internal = ok ? 0 : StatusUnsuccessful;
    ov->InternalHigh = transferred;
    if (commWait == ov)
        commWait = nullptr;
    writes.erase(std::remove(writes.begin(), writes.end(), ov), writes.end());
    ::SetEvent(op.event);
}

void SimWinDevice::State::abortPending(bool (*which)(const Operation&))
{
    for (auto& entry : ops) {
        if (!entry.second.done && which(entry.second))
            finish(entry.first, false, ERROR_OPERATION_ABORTED, entry.second.transferred);
    }
}

void SimWinDevice::State::raise(DWORD events)
{
    events &= mask;
    if (!events)
        return;
    if (commWait) {
        *ops[commWait].mask = events;
        finish(commWait, true, 0, sizeof(DWORD));
    } else {
        history |= events;
    }
}

// Writes in flight take what room the queue has, in order; one that reaches the failure point
// ends there with what it took.
void SimWinDevice::State::feedWrites()
{
    while (!writes.empty()) {
        OVERLAPPED* ov = writes.front();
        Operation& op = ops[ov];
        long long n = std::min<long long>(op.size - op.transferred, b.outCapacity - outq);
        if (b.writeFailsAfter >= 0)
            n = std::min(n, b.writeFailsAfter - taken);
        if (n > 0) {
            line.append(op.data + op.transferred, std::size_t(n));
            outq += n;
            taken += n;
            op.transferred += DWORD(n);
            txBusy = true;
            if (b.drainPerMs < 0)
                outq = 0;
        }
        if (op.transferred == op.size)
            finish(ov, true, 0, op.transferred);
        else if (b.writeFailsAfter >= 0 && taken >= b.writeFailsAfter)
            finish(ov, false, b.failError, op.transferred);
        else
            break;
    }
}

// Output sent on the wire since the last look, and the writes waiting for room.
void SimWinDevice::State::settle()
{
    const Clock::time_point now = Clock::now();
    if (b.drainPerMs < 0 || outq == 0) {
        outq = b.drainPerMs < 0 ? 0 : outq;
        lastDrain = now;
    } else {
        const long long us =
            std::chrono::duration_cast<std::chrono::microseconds>(now - lastDrain).count();
        const long long sent = us * b.drainPerMs / 1000;
        if (sent > 0) {
            outq = std::max<long long>(0, outq - sent);
            lastDrain = now;
        }
    }
    feedWrites();
    if (txBusy && outq == 0 && writes.empty()) {
        txBusy = false;
        raise(EV_TXEMPTY);
    }
}

long long SimWinDevice::State::outputQueue() const
{
    long long n = outq;
    for (OVERLAPPED* ov : writes) {
        const Operation& op = ops.at(ov);
        n += op.size - op.transferred;
    }
    return n;
}

// Sends the queue out in the background while it holds something to send; an idle or stuck
// device has no thread, so it wakes nobody.
void SimWinDevice::State::startDrainer()
{
    if (draining || b.drainPerMs <= 0 || (outq == 0 && writes.empty()))
        return;
    if (drainer.joinable())
        drainer.join(); // it has left: it clears draining as its last step under the lock
    draining = true;
    drainer = std::thread([this] {
        for (;;) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            std::lock_guard<std::mutex> lock(g);
            settle();
            if (dying || b.drainPerMs <= 0 || (outq == 0 && writes.empty())) {
                draining = false;
                return;
            }
        }
    });
}

SimWinDevice::SimWinDevice(const std::string& name, const Behaviour& behaviour) : d(new State)
{
    d->name = name;
    d->b = behaviour;
    // As the last program left it: 9600 8N1, both lines dropped.
    d->dcb.DCBlength = sizeof(DCB);
    d->dcb.BaudRate = 9600;
    d->dcb.ByteSize = 8;
    d->dcb.fBinary = TRUE;
    d->dcb.fDtrControl = DTR_CONTROL_DISABLE;
    d->dcb.fRtsControl = RTS_CONTROL_DISABLE;
    std::lock_guard<std::mutex> lock(g);
    byName[name] = d;
}

SimWinDevice::~SimWinDevice()
{
    {
        std::lock_guard<std::mutex> lock(g);
        byName.erase(d->name);
        if (d->handle) {
            byHandle.erase(d->handle);
            ::CloseHandle(d->handle);
        }
        d->dying = true;
    }
    if (d->drainer.joinable())
        d->drainer.join();
    delete d;
}

std::string SimWinDevice::line() const
{
    std::lock_guard<std::mutex> lock(g);
    return d->line;
}

void SimWinDevice::push(const std::string& bytes)
{
    std::lock_guard<std::mutex> lock(g);
    if (d->gone)
        return;
    d->input += bytes;
    d->raise(EV_RXCHAR);
}

void SimWinDevice::setModemLines(bool dsr, bool cts)
{
    std::lock_guard<std::mutex> lock(g);
    const DWORD events = (dsr != d->dsr ? EV_DSR : 0) | (cts != d->cts ? EV_CTS : 0);
    d->dsr = dsr;
    d->cts = cts;
    d->raise(events);
}

void SimWinDevice::vanish()
{
    std::lock_guard<std::mutex> lock(g);
    d->gone = true;
    d->abortPending(isPending);
}

void SimWinDevice::setDrainPerMs(int bytes)
{
    std::lock_guard<std::mutex> lock(g);
    d->settle();
    d->b.drainPerMs = bytes;
    d->settle();
    d->startDrainer();
}

void SimWinDevice::healWrites()
{
    std::lock_guard<std::mutex> lock(g);
    d->b.writeFailsAfter = -1;
    d->settle();
}

#define SIM_GETTER(type, name, expr)                                                               \
    type SimWinDevice::name() const                                                                \
    {                                                                                              \
        std::lock_guard<std::mutex> lock(g);                                                       \
        return expr;                                                                               \
    }
SIM_GETTER(bool, dtr, d->dtr)
SIM_GETTER(bool, rts, d->rts)
SIM_GETTER(unsigned int, rate, d->dcb.BaudRate)
SIM_GETTER(int, openHandles, d->handles)
SIM_GETTER(long long, discarded, d->discarded)
SIM_GETTER(int, waitCalls, d->waitCalls)
SIM_GETTER(int, modemReads, d->modemReads)
SIM_GETTER(int, closeMs, d->closeMs)
#undef SIM_GETTER

// ---- the calls ----

HANDLE SerialSys::createFile(const char* path, DWORD access, DWORD share, DWORD disposition,
                             DWORD flags)
{
    Result r = Done;
    HANDLE h = INVALID_HANDLE_VALUE;
    {
        std::lock_guard<std::mutex> lock(g);
        const std::string prefix = "\\\\.\\";
        const std::string p = path ? path : "";
        auto it = p.compare(0, prefix.size(), prefix) == 0 ? byName.find(p.substr(prefix.size()))
                                                           : byName.end();
        SimWinDevice::State* s = it == byName.end() ? nullptr : it->second;
        if (!s || s->gone)
            r = failed(ERROR_FILE_NOT_FOUND);
        // Only what a serial device opened for overlapped I/O takes is served here.
        else if (access != (GENERIC_READ | GENERIC_WRITE) || share != 0 ||
                 disposition != OPEN_EXISTING || !(flags & FILE_FLAG_OVERLAPPED))
            r = failed(ERROR_INVALID_PARAMETER);
        else if (s->b.failOpenStep == 1)
            r = failed(ERROR_GEN_FAILURE);
        else if (s->b.failOpenStep == 2 || s->handle)
            r = failed(ERROR_ACCESS_DENIED);
        if (r.ok) {
            // A real event gives a handle value no other object in the process has.
            h = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
            s->handle = h;
            byHandle[h] = s;
            ++s->handles;
        }
    }
    answer(r);
    return h;
}

BOOL SerialSys::closeHandle(HANDLE device)
{
    int waitMs = 0;
    const BOOL ok = onDevice(device, true, [&](SimWinDevice::State* s) {
        s->abortPending([](const Operation&) { return true; });
        s->ops.clear();
        s->settle();
        // A driver's close sends what is still queued first, up to its closing wait.
        if (!s->gone && s->outq > 0)
            waitMs = s->b.drainPerMs > 0
                         ? int(std::min<long long>(s->b.closingWaitMs, s->outq / s->b.drainPerMs))
                         : s->b.closingWaitMs;
        s->closeMs = waitMs;
        byHandle.erase(device);
        s->handle = nullptr;
        --s->handles;
        s->mask = 0;
        s->history = 0;
        return Done;
    });
    if (ok) {
        std::this_thread::sleep_for(std::chrono::milliseconds(waitMs));
        ::CloseHandle(device);
    }
    return ok;
}

BOOL SerialSys::getCommState(HANDLE device, DCB* dcb)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        if (s->b.failOpenStep == 3)
            return failed(ERROR_GEN_FAILURE);
        *dcb = s->dcb;
        return Done;
    });
}

BOOL SerialSys::setCommState(HANDLE device, DCB* dcb)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        // What the system refuses: no rate, an unknown framing, the two stop-bit combinations
        // that do not exist, and text mode.
        const bool framing = dcb->ByteSize >= 5 && dcb->ByteSize <= 8 && dcb->Parity <= 4 &&
                             dcb->StopBits <= TWOSTOPBITS &&
                             !(dcb->ByteSize == 5 && dcb->StopBits == TWOSTOPBITS) &&
                             !(dcb->ByteSize != 5 && dcb->StopBits == ONE5STOPBITS);
        if (s->b.failOpenStep == 4 || dcb->BaudRate == 0 || !framing || !dcb->fBinary)
            return failed(ERROR_INVALID_PARAMETER);
        s->dcb = *dcb;
        s->dtr = dcb->fDtrControl != DTR_CONTROL_DISABLE;
        // With handshake the driver drives RTS: raised while there is room for input.
        s->rts =
            dcb->fRtsControl == RTS_CONTROL_ENABLE || dcb->fRtsControl == RTS_CONTROL_HANDSHAKE;
        return Done;
    });
}

BOOL SerialSys::setCommTimeouts(HANDLE device, COMMTIMEOUTS* timeouts)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        s->timeouts = *timeouts;
        return Done;
    });
}

BOOL SerialSys::setCommMask(HANDLE device, DWORD mask)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        if (s->b.failOpenStep == 5) {
            s->b.failOpenStep = 0;
            return failed(ERROR_NOT_ENOUGH_MEMORY);
        }
        s->mask = mask;
        s->history = 0;
        // An outstanding wait ends at once, reporting nothing.
        if (s->commWait) {
            *s->ops[s->commWait].mask = 0;
            s->finish(s->commWait, true, 0, sizeof(DWORD));
        }
        return Done;
    });
}

BOOL SerialSys::waitCommEvent(HANDLE device, DWORD* mask, OVERLAPPED* overlapped)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        ++s->waitCalls;
        if (s->b.eventWaitFails == SimWinDevice::EventWaitRefused)
            return failed(s->b.failError);
        if (s->commWait || s->mask == 0)
            return failed(ERROR_INVALID_PARAMETER); // one wait at a time, and for something
        if (!s->b.modemEvents && (s->mask & EV_DSR))
            return failed(ERROR_NOT_SUPPORTED);
        s->settle();
        Operation* op = nullptr;
        const Result r = start(s, overlapped, &op);
        if (!r.ok)
            return r;
        op->mask = mask;
        if (s->b.eventWaitFails == SimWinDevice::EventWaitResultFails) {
            s->finish(overlapped, false, s->b.failError, 0);
            return failed(ERROR_IO_PENDING);
        }
        if (s->history & s->mask) {
            *mask = s->history & s->mask;
            s->history = 0;
            s->finish(overlapped, true, 0, sizeof(DWORD));
            return Done;
        }
        s->commWait = overlapped;
        return failed(ERROR_IO_PENDING);
    });
}

BOOL SerialSys::getOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* transferred,
                                    BOOL wait)
{
    Result r = Done;
    std::unique_lock<std::mutex> lock(g);
    for (;;) {
        auto dev = byHandle.find(device);
        if (dev == byHandle.end()) {
            r = failed(ERROR_INVALID_HANDLE);
            break;
        }
        auto it = dev->second->ops.find(overlapped);
        if (it == dev->second->ops.end()) {
            r = failed(ERROR_INVALID_PARAMETER);
            break;
        }
        const Operation& op = it->second;
        if (op.done) {
            *transferred = op.transferred;
            r = op.ok ? Done : failed(op.error);
            break;
        }
        if (!wait) {
            r = failed(ERROR_IO_INCOMPLETE);
            break;
        }
        const HANDLE event = op.event;
        lock.unlock();
        ::WaitForSingleObject(event, INFINITE);
        lock.lock();
    }
    lock.unlock();
    return answer(r);
}

BOOL SerialSys::readFile(HANDLE device, void* data, DWORD size, OVERLAPPED* overlapped)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        Operation* op = nullptr;
        const Result r = start(s, overlapped, &op);
        if (!r.ok)
            return r;
        // Every read ends at once with what has arrived: the event-driven port reads only under
        // the time-outs that ask for that.
        const DWORD n = DWORD(std::min<std::size_t>(size, s->input.size()));
        std::copy(s->input.begin(), s->input.begin() + n, static_cast<char*>(data));
        s->input.erase(0, n);
        s->finish(overlapped, true, 0, n);
        return Done;
    });
}

BOOL SerialSys::writeFile(HANDLE device, const void* data, DWORD size, OVERLAPPED* overlapped)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        Operation* op = nullptr;
        const Result r = start(s, overlapped, &op);
        if (!r.ok)
            return r;
        op->data = static_cast<const char*>(data);
        op->size = size;
        s->settle();
        s->writes.push_back(overlapped);
        s->settle();
        const Operation& now = s->ops[overlapped];
        if (!now.done) {
            s->startDrainer();
            return failed(ERROR_IO_PENDING);
        }
        return now.ok ? Done : failed(now.error);
    });
}

BOOL SerialSys::clearCommError(HANDLE device, DWORD* errors, COMSTAT* status)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        s->settle();
        if (errors)
            *errors = 0;
        if (status) {
            *status = COMSTAT{};
            status->cbInQue = DWORD(s->input.size());
            status->cbOutQue = DWORD(s->outputQueue());
        }
        return Done;
    });
}

BOOL SerialSys::escapeCommFunction(HANDLE device, DWORD function)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        if (!s->b.modemLines)
            return failed(ERROR_INVALID_FUNCTION);
        switch (function) {
        case SETDTR:
        case CLRDTR:
            s->dtr = function == SETDTR;
            return Done;
        case SETRTS:
        case CLRRTS:
            s->rts = function == SETRTS;
            return Done;
        case SETXOFF:
        case SETXON:
        case SETBREAK:
        case CLRBREAK:
            return Done;
        default:
            return failed(ERROR_INVALID_PARAMETER);
        }
    });
}

BOOL SerialSys::getCommModemStatus(HANDLE device, DWORD* status)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        if (!s->b.modemLines)
            return failed(ERROR_INVALID_FUNCTION);
        ++s->modemReads;
        *status = (s->dsr ? MS_DSR_ON : 0) | (s->cts ? MS_CTS_ON : 0);
        return Done;
    });
}

BOOL SerialSys::purgeComm(HANDLE device, DWORD flags)
{
    return onDevice(device, false, [&](SimWinDevice::State* s) {
        s->settle();
        if (flags & PURGE_TXABORT)
            s->abortPending([](const Operation& op) { return op.data != nullptr; });
        if (flags & PURGE_TXCLEAR) {
            s->discarded += s->outq;
            s->outq = 0;
            s->txBusy = false;
        }
        if (flags & PURGE_RXCLEAR)
            s->input.clear();
        return Done;
    });
}

BOOL SerialSys::cancelIo(HANDLE device)
{
    return onDevice(device, true, [&](SimWinDevice::State* s) {
        s->abortPending([](const Operation& op) { return op.thread == ::GetCurrentThreadId(); });
        return Done;
    });
}
