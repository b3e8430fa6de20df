#include "ptypair.h"

#include <QElapsedTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace
{

bool makeRaw(int fd)
{
    termios tio{};
    if (::tcgetattr(fd, &tio) < 0)
        return false;
    ::cfmakeraw(&tio);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

int leftMs(const QElapsedTimer& timer, int timeoutMs)
{
    return qMax(0, timeoutMs - int(timer.elapsed()));
}

} // namespace

PtyPair::PtyPair(bool keepSlaveOpen)
{
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) < 0) {
        error = QStringLiteral("openpty: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        master = slave = -1;
        return;
    }
    path = QString::fromLocal8Bit(name);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    ::fcntl(slave, F_SETFD, FD_CLOEXEC);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    if (!makeRaw(slave) || !makeRaw(master))
        error = QStringLiteral("cannot make the pseudo-terminal raw");
    if (!keepSlaveOpen)
        closeSlave();
}

PtyPair::~PtyPair()
{
    closeSlave();
    closeMaster();
}

bool PtyPair::writeMaster(const QByteArray& data, int timeoutMs)
{
    if (master < 0)
        return false;
    QElapsedTimer timer;
    timer.start();
    qint64 done = 0;
    while (done < data.size()) {
        ssize_t n = ::write(master, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN)
            return false;
        const int left = leftMs(timer, timeoutMs);
        if (left == 0)
            return false;
        pollfd pfd{master, POLLOUT, 0};
        ::poll(&pfd, 1, qMin(left, 50));
    }
    return true;
}

QByteArray PtyPair::readMaster(int count, int timeoutMs)
{
    QByteArray out;
    if (master < 0)
        return out;
    QElapsedTimer timer;
    timer.start();
    char buf[65536];
    while (out.size() < count) {
        ssize_t n = ::read(master, buf, size_t(qMin<int>(int(sizeof buf), count - out.size())));
        if (n > 0) {
            out.append(buf, int(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN) {
            // EIO: no slave is open at this moment; wait a little in case one comes back.
            if (leftMs(timer, timeoutMs) == 0)
                break;
            ::usleep(2000);
            continue;
        }
        const int left = leftMs(timer, timeoutMs);
        if (left == 0)
            break;
        pollfd pfd{master, POLLIN, 0};
        ::poll(&pfd, 1, qMin(left, 50));
    }
    return out;
}

QByteArray PtyPair::readMasterNow()
{
    QByteArray out;
    if (master < 0)
        return out;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0)
            out.append(buf, int(n));
        else if (n < 0 && errno == EINTR)
            continue;
        else
            break;
    }
    return out;
}

bool PtyPair::waitMasterReadable(int timeoutMs)
{
    if (master < 0)
        return false;
    pollfd pfd{master, POLLIN, 0};
    return ::poll(&pfd, 1, timeoutMs) > 0 && (pfd.revents & POLLIN);
}

void PtyPair::closeMaster()
{
    if (master >= 0)
        ::close(master);
    master = -1;
}

void PtyPair::closeSlave()
{
    if (slave >= 0)
        ::close(slave);
    slave = -1;
}
