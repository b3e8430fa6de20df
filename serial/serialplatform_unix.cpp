// Linux implementation of the serial interface: termios, poll and ioctl on the device node.
#include "serialplatform.h"

#include "serialsys.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <thread>

const int SerialPlatform::ErrorGone = EIO;
const int SerialPlatform::ErrorTimedOut = ETIMEDOUT;

struct SerialPlatform::Waker {
    int fd = -1;
};

struct SerialPlatform::Port {
    int fd = -1;
    termios saved{};
    bool haveSaved = false;
    Timeouts timeouts;
    // The thread blocked in waitModemChange(), so cancelModemWait() can interrupt it.
    std::atomic<bool> modemWaiting{false};
    std::atomic<bool> modemCancel{false};
    std::atomic<pthread_t> modemThread{};
};

namespace
{

struct RateCode {
    std::uint32_t rate;
    speed_t code;
};

const RateCode rateCodes[] = {
    {50, B50},         {75, B75},         {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},
    {1200, B1200},     {1800, B1800},     {2400, B2400},       {4800, B4800},
    {9600, B9600},     {19200, B19200},   {38400, B38400},     {57600, B57600},
    {115200, B115200}, {230400, B230400}, {460800, B460800},   {500000, B500000},
    {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {2000000, B2000000},
};

bool isStandardRate(std::uint32_t rate)
{
    for (const RateCode& rc : rateCodes) {
        if (rc.rate == rate)
            return true;
    }
    return false;
}

bool rateToCode(std::uint32_t rate, speed_t* code)
{
    for (const RateCode& rc : rateCodes) {
        if (rc.rate == rate) {
            *code = rc.code;
            return true;
        }
    }
    return false;
}

std::uint32_t codeToRate(speed_t code)
{
    for (const RateCode& rc : rateCodes) {
        if (rc.code == code)
            return rc.rate;
    }
    return 0;
}

// Interrupted calls are retried, everything else is returned to the caller. (A poll retried
// after a signal starts its time-out again; signals are rare enough for that.)
template <typename Call> int retry(Call call)
{
    for (;;) {
        int r = call();
        if (r >= 0 || errno != EINTR)
            return r;
    }
}

int retryPoll(pollfd* fds, nfds_t count, int timeoutMs)
{
    return retry([&] { return SerialSys::poll(fds, count, timeoutMs); });
}

int retryIoctl(int fd, unsigned long request, void* arg)
{
    return retry([&] { return SerialSys::ioctl(fd, request, arg); });
}

bool isStandardRate(std::uint32_t rate);
bool setModemLine(SerialPlatform::Port* port, int line, bool set, int* err);

bool isNotSupported(int err)
{
    return err == ENOTTY || err == EINVAL || err == ENOSYS || err == EOPNOTSUPP;
}

using Clock = std::chrono::steady_clock;

std::int64_t elapsedMs(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int remainingMs(Clock::time_point start, std::int64_t totalMs)
{
    std::int64_t left = totalMs - elapsedMs(start);
    return left > 0 ? int(std::min<std::int64_t>(left, 1 << 30)) : 0;
}

} // namespace

SerialPlatform::Port* SerialPlatform::openPort(const std::string& name, int* err)
{
    int fd = retry(
        [&] { return SerialSys::open(name.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC); });
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    // flock() is what keeps a second opener out even when it runs as root (TIOCEXCL does not).
    if (retry([&] { return SerialSys::flock(fd, LOCK_EX | LOCK_NB); }) < 0) {
        *err = (errno == EWOULDBLOCK) ? EBUSY : errno;
        SerialSys::close(fd);
        return nullptr;
    }
    int failure = 0;
    termios saved{};
    if (retryIoctl(fd, TIOCEXCL, nullptr) < 0 && !isNotSupported(errno))
        failure = errno;
    else if (retry([&] { return SerialSys::tcgetattr(fd, &saved); }) < 0)
        failure = errno;
    if (failure) {
        *err = failure;
        retryIoctl(fd, TIOCNXCL, nullptr);
        retry([&] { return SerialSys::flock(fd, LOCK_UN); });
        SerialSys::close(fd);
        return nullptr;
    }
    Port* port = new Port;
    port->fd = fd;
    port->saved = saved;
    port->haveSaved = true;
    return port;
}

bool SerialPlatform::closePort(Port* port, int* err)
{
    if (!port)
        return true;
    bool ok = true;
    if (port->haveSaved) {
        // The console may still be attached: echo or line editing back on would send its own
        // bytes back to it, so the saved settings come back without them.
        termios restore = port->saved;
        restore.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
        // Fails harmlessly on a hung-up line.
        retry([&] { return SerialSys::tcsetattr(port->fd, TCSANOW, &restore); });
    }
    retryIoctl(port->fd, TIOCNXCL, nullptr);
    retry([&] { return SerialSys::flock(port->fd, LOCK_UN); });
    // Not retried: after EINTR the descriptor is already gone.
    if (SerialSys::close(port->fd) < 0 && errno != EINTR) {
        *err = errno;
        ok = false;
    }
    delete port;
    return ok;
}

bool SerialPlatform::readConfig(Port* port, LineConfig* config, int* err)
{
    termios tio{};
    if (retry([&] { return SerialSys::tcgetattr(port->fd, &tio); }) < 0) {
        *err = errno;
        return false;
    }
    config->baudRate = SerialSys::lineRate(port->fd);
    if (config->baudRate == 0)
        config->baudRate = codeToRate(cfgetospeed(&tio));
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        config->byteSize = 5;
        break;
    case CS6:
        config->byteSize = 6;
        break;
    case CS7:
        config->byteSize = 7;
        break;
    default:
        config->byteSize = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB))
        config->parity = 0;
    else if (tio.c_cflag & CMSPAR)
        config->parity = (tio.c_cflag & PARODD) ? 3 : 4;
    else
        config->parity = (tio.c_cflag & PARODD) ? 1 : 2;
    config->stopBits = (tio.c_cflag & CSTOPB) ? 2 : 0;
    config->fBinary = !(tio.c_lflag & ICANON);
    config->fParity = (tio.c_iflag & INPCK) != 0;
    config->fOutxCtsFlow = (tio.c_cflag & CRTSCTS) != 0;
    config->fRtsControl = (tio.c_cflag & CRTSCTS) ? RtsHandshake : RtsEnable;
    config->fOutX = (tio.c_iflag & IXON) != 0;
    config->fInX = (tio.c_iflag & IXOFF) != 0;
    config->fNull = false;
    config->fAbortOnError = false;
    return true;
}

bool SerialPlatform::applyConfig(Port* port, const LineConfig& config, int* err)
{
    termios tio{};
    if (retry([&] { return SerialSys::tcgetattr(port->fd, &tio); }) < 0) {
        *err = errno;
        return false;
    }
    // Binary line: no echo, no line editing, no signals, no byte translation.
    tio.c_iflag &= ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXANY | IUCLC);
    tio.c_oflag &= ~OPOST;
    tio.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag |= CREAD | CLOCAL;
    // VMIN 1 makes an empty non-blocking read EAGAIN, so a read of 0 always means hang-up.
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;

    speed_t code;
    if (config.baudRate && rateToCode(config.baudRate, &code)) {
        cfsetispeed(&tio, code);
        cfsetospeed(&tio, code);
    }

    tio.c_cflag &= ~CSIZE;
    switch (config.byteSize) {
    case 5:
        tio.c_cflag |= CS5;
        break;
    case 6:
        tio.c_cflag |= CS6;
        break;
    case 7:
        tio.c_cflag |= CS7;
        break;
    default:
        tio.c_cflag |= CS8;
        break;
    }

    tio.c_cflag &= ~(PARENB | PARODD | CMSPAR);
    switch (config.parity) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
        tio.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case 4:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (config.fParity && config.parity != 0)
        tio.c_iflag |= INPCK;
    else
        tio.c_iflag &= ~INPCK;

    // 1.5 stop bits are what CSTOPB gives with 5 data bits on common UARTs.
    if (config.stopBits == 1 || config.stopBits == 2)
        tio.c_cflag |= CSTOPB;
    else
        tio.c_cflag &= ~CSTOPB;

    if (config.fOutxCtsFlow || config.fRtsControl == RtsHandshake)
        tio.c_cflag |= CRTSCTS;
    else
        tio.c_cflag &= ~CRTSCTS;
    if (config.fOutX)
        tio.c_iflag |= IXON;
    else
        tio.c_iflag &= ~IXON;
    if (config.fInX)
        tio.c_iflag |= IXOFF;
    else
        tio.c_iflag &= ~IXOFF;

    if (retry([&] { return SerialSys::tcsetattr(port->fd, TCSANOW, &tio); }) < 0) {
        *err = errno;
        return false;
    }
    // Rates without a speed code (14400, 56000, 128000, 256000) go through termios2.
    if (config.baudRate && !isStandardRate(config.baudRate) &&
        SerialSys::setLineRate(port->fd, config.baudRate) < 0) {
        *err = errno;
        return false;
    }
    // RTS follows the record: dropped when it is disabled (flow control off), raised when
    // enabled; with handshake the driver drives it. DTR is not in the record and stays as the
    // opening left it (raised).
    if (config.fRtsControl != RtsHandshake &&
        !setModemLine(port, TIOCM_RTS, config.fRtsControl == RtsEnable, err))
        return false;
    return true;
}

bool SerialPlatform::applyTimeouts(Port* port, const Timeouts& timeouts, int*)
{
    // The terminal has no equivalent record: readSome()/writeAll() keep to it themselves.
    port->timeouts = timeouts;
    return true;
}

bool SerialPlatform::watchEvents(Port*, int*)
{
    // poll() takes the events with each wait.
    return true;
}

std::int64_t SerialPlatform::readNow(Port* port, char* data, std::int64_t maxSize, int* err)
{
    if (maxSize <= 0)
        return 0;
    for (;;) {
        ssize_t n = SerialSys::read(port->fd, data, size_t(maxSize));
        if (n > 0)
            return n;
        if (n == 0) {
            *err = EIO; // end of file on a terminal: the other side has gone
            return -1;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        *err = errno;
        return -1;
    }
}

std::int64_t SerialPlatform::readSome(Port* port, char* data, std::int64_t maxSize, int* err)
{
    const Timeouts& t = port->timeouts;
    if (maxSize <= 0)
        return 0;
    if (t.readInterval == MaxTimeout && t.readTotalMultiplier == 0 && t.readTotalConstant == 0)
        return readNow(port, data, maxSize, err);

    // Total limit (0: none), and a limit between bytes once the first has come.
    const bool hasTotal = t.readTotalMultiplier != 0 || t.readTotalConstant != 0;
    const std::int64_t totalMs =
        std::int64_t(t.readTotalMultiplier) * maxSize + t.readTotalConstant;
    const bool hasInterval = t.readInterval != 0 && t.readInterval != MaxTimeout;
    const Clock::time_point timer = Clock::now();
    std::int64_t got = 0;
    while (got < maxSize) {
        std::int64_t n = readNow(port, data + got, maxSize - got, err);
        if (n < 0)
            return got > 0 ? got : -1;
        got += n;
        if (got >= maxSize)
            break;
        int waitMs = -1;
        if (hasTotal) {
            waitMs = remainingMs(timer, totalMs);
            if (waitMs == 0)
                break;
        }
        if (got > 0 && hasInterval)
            waitMs = waitMs < 0 ? int(t.readInterval) : std::min(waitMs, int(t.readInterval));
        if (got > 0 && t.readInterval == MaxTimeout)
            break;
        pollfd pfd{port->fd, POLLIN, 0};
        int r = retryPoll(&pfd, 1, waitMs);
        if (r < 0) {
            *err = errno;
            return got > 0 ? got : -1;
        }
        if (r == 0)
            break;
    }
    return got;
}

std::int64_t SerialPlatform::writeNow(Port* port, const char* data, std::int64_t size, int* err)
{
    if (size <= 0)
        return 0;
    for (;;) {
        ssize_t n = SerialSys::write(port->fd, data, size_t(size));
        if (n >= 0)
            return n;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return 0;
        *err = errno;
        return -1;
    }
}

std::int64_t SerialPlatform::writeAll(Port* port, const char* data, std::int64_t size, int* err)
{
    const Timeouts& t = port->timeouts;
    const bool hasTotal = t.writeTotalMultiplier != 0 || t.writeTotalConstant != 0;
    const std::int64_t totalMs = std::int64_t(t.writeTotalMultiplier) * size + t.writeTotalConstant;
    const Clock::time_point timer = Clock::now();
    std::int64_t done = 0;
    while (done < size) {
        std::int64_t n = writeNow(port, data + done, size - done, err);
        if (n < 0)
            return done > 0 ? done : -1;
        done += n;
        if (done >= size)
            break;
        int waitMs = hasTotal ? remainingMs(timer, totalMs) : -1;
        if (hasTotal && waitMs == 0)
            break;
        pollfd pfd{port->fd, POLLOUT, 0};
        int r = retryPoll(&pfd, 1, waitMs);
        if (r < 0) {
            *err = errno;
            return done > 0 ? done : -1;
        }
        if (r == 0)
            break;
        if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) {
            *err = EIO;
            return done > 0 ? done : -1;
        }
    }
    return done;
}

std::int64_t SerialPlatform::inputQueue(Port* port, int* err)
{
    int count = 0;
    if (retryIoctl(port->fd, FIONREAD, &count) < 0) {
        *err = errno;
        return -1;
    }
    return count;
}

std::int64_t SerialPlatform::outputQueue(Port* port, int* err)
{
    int count = 0;
    if (retryIoctl(port->fd, TIOCOUTQ, &count) < 0) {
        if (isNotSupported(errno))
            return 0;
        *err = errno;
        return -1;
    }
    return count;
}

void SerialPlatform::discardOutput(Port* port)
{
    retry([&] { return SerialSys::tcflush(port->fd, TCOFLUSH); });
}

bool SerialPlatform::drainOutput(Port* port, int timeoutMs, int* err)
{
    // tcdrain() cannot be bounded: watch the output queue instead.
    const Clock::time_point timer = Clock::now();
    for (;;) {
        std::int64_t left = outputQueue(port, err);
        if (left < 0)
            return false;
        if (left == 0)
            return true;
        if (elapsedMs(timer) >= timeoutMs) {
            *err = ETIMEDOUT;
            return false;
        }
        // Only close and flush wait here, bounded; nothing wakes us when the queue empties.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

namespace
{
bool setModemLine(SerialPlatform::Port* port, int line, bool set, int* err)
{
    if (retryIoctl(port->fd, set ? TIOCMBIS : TIOCMBIC, &line) < 0) {
        if (isNotSupported(errno))
            return true;
        *err = errno;
        return false;
    }
    return true;
}
} // namespace

bool SerialPlatform::setDtr(Port* port, bool set, int* err)
{
    return setModemLine(port, TIOCM_DTR, set, err);
}

bool SerialPlatform::setRts(Port* port, bool set, int* err)
{
    return setModemLine(port, TIOCM_RTS, set, err);
}

int SerialPlatform::modemStatus(Port* port, bool* supported, int* err)
{
    int bits = 0;
    if (retryIoctl(port->fd, TIOCMGET, &bits) < 0) {
        if (isNotSupported(errno)) {
            *supported = false;
            return 0;
        }
        *supported = true;
        *err = errno;
        return -1;
    }
    *supported = true;
    int lines = 0;
    if (bits & TIOCM_CTS)
        lines |= ModemCts;
    if (bits & TIOCM_DSR)
        lines |= ModemDsr;
    if (bits & TIOCM_RNG)
        lines |= ModemRing;
    if (bits & TIOCM_CAR)
        lines |= ModemDcd;
    return lines;
}

int SerialPlatform::waitModemChange(Port* port, int* err)
{
    port->modemThread = pthread_self();
    port->modemWaiting = true;
    int result = -1;
    for (;;) {
        if (port->modemCancel) {
            result = 0;
            break;
        }
        const unsigned long lines = TIOCM_DSR | TIOCM_CTS | TIOCM_CD | TIOCM_RNG;
        if (SerialSys::ioctl(port->fd, TIOCMIWAIT, reinterpret_cast<void*>(lines)) == 0) {
            result = 1;
            break;
        }
        if (errno != EINTR) {
            *err = errno;
            break;
        }
    }
    port->modemWaiting = false;
    return result;
}

void SerialPlatform::cancelModemWait(Port* port)
{
    port->modemCancel = true;
    // The signal may land just before the waiter enters its wait: repeat until it has left.
    // Bounded so that a thread stuck elsewhere cannot hold a close.
    for (int i = 0; i < 1000 && port->modemWaiting; ++i) {
        SerialSys::interruptThread(port->modemThread);
        std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

SerialPlatform::Waker* SerialPlatform::createWaker(int* err)
{
    int fd = SerialSys::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return nullptr;
    }
    Waker* waker = new Waker;
    waker->fd = fd;
    return waker;
}

void SerialPlatform::destroyWaker(Waker* waker)
{
    if (!waker)
        return;
    SerialSys::close(waker->fd);
    delete waker;
}

void SerialPlatform::wake(Waker* waker)
{
    if (!waker)
        return;
    const uint64_t one = 1;
    while (SerialSys::write(waker->fd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

void SerialPlatform::clearWake(Waker* waker)
{
    if (!waker)
        return;
    uint64_t value;
    while (SerialSys::read(waker->fd, &value, sizeof value) < 0 && errno == EINTR) {
    }
}

int SerialPlatform::waitEvents(Port* port, bool wantRead, bool wantWrite, Waker* waker,
                               int timeoutMs, int* err)
{
    pollfd fds[2];
    nfds_t count = 0;
    int wakerIndex = -1;
    int portIndex = -1;
    if (waker) {
        fds[count] = pollfd{waker->fd, POLLIN, 0};
        wakerIndex = int(count++);
    }
    if (port) {
        short events = 0;
        if (wantRead)
            events |= POLLIN;
        if (wantWrite)
            events |= POLLOUT;
        fds[count] = pollfd{port->fd, events, 0};
        portIndex = int(count++);
    }
    int r = retryPoll(fds, count, timeoutMs);
    if (r < 0) {
        *err = errno;
        return WaitFailed;
    }
    if (r == 0)
        return WaitTimeout;
    int flags = 0;
    if (wakerIndex >= 0 && (fds[wakerIndex].revents & POLLIN))
        flags |= WaitWoken;
    if (portIndex >= 0) {
        short rev = fds[portIndex].revents;
        if (rev & POLLIN)
            flags |= WaitReadable;
        if (rev & POLLOUT)
            flags |= WaitWritable;
        if (rev & (POLLHUP | POLLERR | POLLNVAL))
            flags |= WaitHangup;
    }
    return flags;
}

unsigned long SerialPlatform::errorFlags(int err)
{
    switch (err) {
    case 0:
        return 0;
    case EIO:
    case ENXIO:
    case ENODEV:
    case EPIPE:
    case ESHUTDOWN:
        return FlagIo;
    case EOVERFLOW:
        return FlagRxOver;
    case EAGAIN:
        return FlagTxFull;
    default:
        return FlagMode;
    }
}

std::string SerialPlatform::errorString(int err)
{
    return ::strerror(err);
}

bool SerialPlatform::isGoneError(int err)
{
    return err == EIO || err == ENXIO || err == ENODEV || err == EPIPE || err == ESHUTDOWN ||
           err == EBADF;
}
