// The simulated device and, for the test build, the system calls the port layer makes
// (SerialSys): calls on a simulated device's path or descriptor are served here, all others go
// to the system. A simulated descriptor is a real eventfd, so that poll() can sleep on it
// together with the port's own wake-up handle; the device pokes it whenever its state changes.
#include "simdevice.h"

#include "serialsys.h"

#include <QThread>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

struct SimDevice::State {
    QString path;
    Behaviour b;
    QByteArray input;
    QByteArray line;
    qint64 outq = 0;
    qint64 taken = 0;
    Clock::time_point lastDrain = Clock::now();
    bool dsr = false, cts = false, dtr = false, rts = false;
    int modemGen = 0;
    bool gone = false;
    bool locked = false;
    int fd = -1;
    int handles = 0;
    termios tio{};
    unsigned int rate = 9600;
    qint64 discarded = 0;
    int waitCalls = 0, modemReads = 0, closeMs = 0;
    bool interruptNext = true;

    // Output sent on the wire since the last look.
    void settle()
    {
        const Clock::time_point now = Clock::now();
        if (b.drainPerMs < 0 || outq == 0) {
            outq = b.drainPerMs < 0 ? 0 : outq;
            lastDrain = now;
            return;
        }
        const qint64 us =
            std::chrono::duration_cast<std::chrono::microseconds>(now - lastDrain).count();
        const qint64 sent = us * b.drainPerMs / 1000;
        if (sent > 0) {
            outq = qMax<qint64>(0, outq - sent);
            lastDrain = now;
        }
    }
    void notify()
    {
        if (fd >= 0) {
            const uint64_t one = 1;
            (void)!::write(fd, &one, sizeof one);
        }
    }
    // With eintr set, every other call fails with EINTR, so each call is interrupted once.
    bool interrupted()
    {
        if (!b.eintr)
            return false;
        interruptNext = !interruptNext;
        if (interruptNext)
            return false;
        errno = EINTR;
        return true;
    }
};

namespace
{

std::mutex g;
std::condition_variable changed;
std::map<QString, SimDevice::State*> byPath;
std::map<int, SimDevice::State*> byFd;
std::set<pthread_t> interruptedThreads;
bool failNextEventfd = false;

SimDevice::State* device(int fd)
{
    auto it = byFd.find(fd);
    return it == byFd.end() ? nullptr : it->second;
}

int fail(int err)
{
    errno = err;
    return -1;
}

unsigned int codeRate(speed_t code)
{
    static const std::map<speed_t, unsigned int> rates = {
        {B110, 110},     {B300, 300},     {B600, 600},      {B1200, 1200},
        {B2400, 2400},   {B4800, 4800},   {B9600, 9600},    {B19200, 19200},
        {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
    auto it = rates.find(code);
    return it == rates.end() ? 0 : it->second;
}

} // namespace

SimDevice::SimDevice(const QString& path, const Behaviour& behaviour) : d(new State)
{
    d->path = path;
    d->b = behaviour;
    // Like a terminal nobody has set up: echo and line editing on.
    d->tio.c_lflag = ECHO | ICANON | ISIG | IEXTEN;
    d->tio.c_iflag = ICRNL;
    cfsetospeed(&d->tio, B9600);
    cfsetispeed(&d->tio, B9600);
    std::lock_guard<std::mutex> lock(g);
    byPath[path] = d;
}

SimDevice::~SimDevice()
{
    std::lock_guard<std::mutex> lock(g);
    byPath.erase(d->path);
    if (d->fd >= 0) {
        byFd.erase(d->fd);
        ::close(d->fd);
    }
    delete d;
}

QString SimDevice::path() const
{
    return d->path;
}

QByteArray SimDevice::line() const
{
    std::lock_guard<std::mutex> lock(g);
    // Deep copies both ways: Qt's reference counts are not visible to the thread sanitizer.
    return QByteArray(d->line.constData(), d->line.size());
}

void SimDevice::push(const QByteArray& bytes)
{
    std::lock_guard<std::mutex> lock(g);
    d->input.append(bytes.constData(), bytes.size());
    d->notify();
}

void SimDevice::setModemLines(bool dsr, bool cts)
{
    std::lock_guard<std::mutex> lock(g);
    d->dsr = dsr;
    d->cts = cts;
    ++d->modemGen;
    changed.notify_all();
}

void SimDevice::vanish()
{
    std::lock_guard<std::mutex> lock(g);
    d->gone = true;
    d->notify();
    changed.notify_all();
}

void SimDevice::setDrainPerMs(int bytes)
{
    std::lock_guard<std::mutex> lock(g);
    d->settle();
    d->b.drainPerMs = bytes;
    d->notify();
}

void SimDevice::healWrites()
{
    std::lock_guard<std::mutex> lock(g);
    d->b.writeFailsAfter = -1;
    d->notify();
}

#define SIM_GETTER(type, name, expr)                                                               \
    type SimDevice::name() const                                                                   \
    {                                                                                              \
        std::lock_guard<std::mutex> lock(g);                                                       \
        return expr;                                                                               \
    }
SIM_GETTER(bool, dtr, d->dtr)
SIM_GETTER(bool, rts, d->rts)
SIM_GETTER(unsigned int, rate, d->rate)
SIM_GETTER(termios, settings, d->tio)
SIM_GETTER(int, openHandles, d->handles)
SIM_GETTER(qint64, discarded, d->discarded)
SIM_GETTER(int, waitCalls, d->waitCalls)
SIM_GETTER(int, modemReads, d->modemReads)
SIM_GETTER(int, closeMs, d->closeMs)
#undef SIM_GETTER

// ---- the system calls ----

int SerialSys::open(const char* path, int flags)
{
    std::unique_lock<std::mutex> lock(g);
    auto it = byPath.find(QString::fromUtf8(path));
    if (it == byPath.end()) {
        lock.unlock();
        return ::open(path, flags);
    }
    SimDevice::State* s = it->second;
    if (s->gone)
        return fail(ENOENT);
    if (s->interrupted())
        return -1;
    if (s->b.failOpenStep == 1)
        return fail(EACCES);
    if (s->fd >= 0)
        return fail(EBUSY); // one opener at a time is enough here
    s->fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    byFd[s->fd] = s;
    ++s->handles;
    s->dtr = s->rts = true; // the kernel raises both when a terminal is opened
    if (s->b.failOpenStep == 5) {
        failNextEventfd = true;
        s->b.failOpenStep = 0; // once
    }
    return s->fd;
}

int SerialSys::close(int fd)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::close(fd);
    }
    byFd.erase(fd);
    s->fd = -1;
    --s->handles;
    s->locked = false;
    const bool interrupted = s->interrupted();
    // The kernel's close waits for queued output, up to the closing wait.
    s->settle();
    int waitMs = 0;
    if (!s->gone && s->outq > 0)
        waitMs = s->b.drainPerMs > 0
                     ? int(qMin<qint64>(s->b.closingWaitMs, s->outq / s->b.drainPerMs))
                     : s->b.closingWaitMs;
    s->closeMs = waitMs;
    const bool gone = s->gone;
    lock.unlock();
    if (waitMs > 0)
        QThread::msleep(ulong(waitMs));
    ::close(fd);
    if (interrupted)
        return fail(EINTR); // like Linux: the descriptor is gone all the same
    return gone ? fail(EIO) : 0;
}

ssize_t SerialSys::read(int fd, void* data, size_t size)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::read(fd, data, size);
    }
    if (s->gone)
        return fail(EIO);
    if (s->interrupted())
        return -1;
    if (s->input.isEmpty())
        return fail(EAGAIN);
    const int n = int(qMin<size_t>(size, size_t(s->input.size())));
    memcpy(data, s->input.constData(), size_t(n));
    s->input.remove(0, n);
    return n;
}

ssize_t SerialSys::write(int fd, const void* data, size_t size)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::write(fd, data, size);
    }
    if (s->gone)
        return fail(EIO);
    if (s->interrupted())
        return -1;
    if (s->b.writeFailsAfter >= 0 && s->taken >= s->b.writeFailsAfter)
        return fail(s->b.failErrno);
    s->settle();
    qint64 n = qMin<qint64>(qint64(size), s->b.outCapacity - s->outq);
    if (s->b.writeFailsAfter >= 0)
        n = qMin<qint64>(n, s->b.writeFailsAfter - s->taken);
    if (n <= 0)
        return fail(EAGAIN);
    s->line.append(static_cast<const char*>(data), int(n));
    s->outq += n;
    s->taken += n;
    s->settle();
    return n;
}

int SerialSys::ioctl(int fd, unsigned long request, void* arg)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::ioctl(fd, request, arg);
    }
    if (s->gone)
        return fail(EIO);
    if (s->interrupted())
        return -1;
    int* value = static_cast<int*>(arg);
    switch (request) {
    case TIOCEXCL:
    case TIOCNXCL:
        return 0;
    case FIONREAD:
        *value = s->input.size();
        return 0;
    case TIOCOUTQ:
        s->settle();
        *value = int(s->outq);
        return 0;
    case TIOCMGET:
        if (!s->b.modemLines)
            return fail(ENOTTY);
        ++s->modemReads;
        *value = (s->dsr ? TIOCM_DSR : 0) | (s->cts ? TIOCM_CTS : 0) | (s->dtr ? TIOCM_DTR : 0) |
                 (s->rts ? TIOCM_RTS : 0);
        return 0;
    case TIOCMBIS:
    case TIOCMBIC:
        if (!s->b.modemLines)
            return fail(ENOTTY);
        if (*value & TIOCM_DTR)
            s->dtr = request == TIOCMBIS;
        if (*value & TIOCM_RTS)
            s->rts = request == TIOCMBIS;
        return 0;
    case TIOCMIWAIT: {
        if (!s->b.modemLines || !s->b.modemWait)
            return fail(EINVAL);
        const int gen = s->modemGen;
        const pthread_t self = pthread_self();
        changed.wait(lock, [&] {
            return s->modemGen != gen || s->gone || interruptedThreads.count(self) > 0;
        });
        if (interruptedThreads.erase(self) > 0)
            return fail(EINTR);
        return s->gone ? fail(EIO) : 0;
    }
    default:
        return fail(ENOTTY);
    }
}

int SerialSys::flock(int fd, int operation)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::flock(fd, operation);
    }
    if (s->interrupted())
        return -1;
    if (operation & LOCK_UN) {
        s->locked = false;
        return 0;
    }
    if (s->locked || s->b.failOpenStep == 2)
        return fail(EWOULDBLOCK);
    s->locked = true;
    return 0;
}

int SerialSys::tcgetattr(int fd, termios* tio)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::tcgetattr(fd, tio);
    }
    if (s->gone)
        return fail(EIO);
    if (s->interrupted())
        return -1;
    if (s->b.failOpenStep == 3)
        return fail(EIO);
    *tio = s->tio;
    return 0;
}

int SerialSys::tcsetattr(int fd, int when, const termios* tio)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::tcsetattr(fd, when, tio);
    }
    if (s->gone)
        return fail(EIO);
    if (s->interrupted())
        return -1;
    if (s->b.failOpenStep == 4)
        return fail(EIO);
    s->tio = *tio;
    if (unsigned int rate = codeRate(cfgetospeed(tio)))
        s->rate = rate;
    return 0;
}

int SerialSys::tcflush(int fd, int queue)
{
    std::unique_lock<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s) {
        lock.unlock();
        return ::tcflush(fd, queue);
    }
    if (s->gone)
        return fail(EIO);
    if (s->interrupted())
        return -1;
    if (queue == TCOFLUSH || queue == TCIOFLUSH) {
        s->settle();
        s->discarded += s->outq;
        s->outq = 0;
    }
    return 0;
}

int SerialSys::poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<pollfd> sys(fds, fds + count);
    bool first = true;
    for (;;) {
        int ready = 0;
        int drainMs = -1;
        {
            std::lock_guard<std::mutex> lock(g);
            for (nfds_t i = 0; i < count; ++i) {
                SimDevice::State* s = device(fds[i].fd);
                sys[i] = pollfd{fds[i].fd, s ? short(POLLIN) : fds[i].events, 0};
                if (!s)
                    continue;
                ++s->waitCalls;
                if (first && s->interrupted())
                    return -1;
                s->settle();
                short rev = 0;
                if (s->gone)
                    rev |= POLLHUP;
                else if ((fds[i].events & POLLIN) && !s->input.isEmpty())
                    rev |= POLLIN;
                if (!s->gone && (fds[i].events & POLLOUT)) {
                    if (s->outq < s->b.outCapacity)
                        rev |= POLLOUT;
                    else if (s->b.drainPerMs > 0)
                        drainMs = 1; // room comes back as the queue drains
                }
                fds[i].revents = rev;
                if (rev)
                    ++ready;
            }
        }
        first = false;
        int waitMs = -1;
        if (ready)
            waitMs = 0;
        else if (timeoutMs >= 0)
            waitMs = int(qMax<qint64>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now())
                       .count()));
        if (drainMs >= 0 && (waitMs < 0 || waitMs > drainMs))
            waitMs = drainMs;
        int r = ::poll(sys.data(), count, waitMs);
        if (r < 0)
            return -1;
        {
            std::lock_guard<std::mutex> lock(g);
            for (nfds_t i = 0; i < count; ++i) {
                if (device(fds[i].fd)) {
                    uint64_t value;
                    if (sys[i].revents & POLLIN)
                        (void)!::read(fds[i].fd, &value, sizeof value);
                } else {
                    fds[i].revents = sys[i].revents;
                    if (sys[i].revents)
                        ++ready;
                }
            }
        }
        if (ready)
            return ready;
        if (timeoutMs >= 0 && Clock::now() >= deadline)
            return 0;
    }
}

int SerialSys::eventfd(unsigned int initial, int flags)
{
    {
        std::lock_guard<std::mutex> lock(g);
        if (failNextEventfd) {
            failNextEventfd = false;
            return fail(EMFILE);
        }
    }
    return ::eventfd(initial, flags);
}

int SerialSys::interruptThread(pthread_t thread)
{
    std::lock_guard<std::mutex> lock(g);
    interruptedThreads.insert(thread);
    changed.notify_all();
    return 0;
}

int SerialSys::setLineRate(int fd, unsigned int rate)
{
    std::lock_guard<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    if (!s || s->gone)
        return fail(s ? EIO : EBADF);
    s->rate = rate;
    return 0;
}

unsigned int SerialSys::lineRate(int fd)
{
    std::lock_guard<std::mutex> lock(g);
    SimDevice::State* s = device(fd);
    return s && !s->gone ? s->rate : 0;
}
