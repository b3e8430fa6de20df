#include "simpty.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace
{
// How long one poll slice lasts, so that stop() is noticed promptly.
constexpr int SliceMs = 50;
// While nobody has the slave open the master reports a hang-up at once; pause between looks.
constexpr int HungUpPauseMs = 20;
// A peer that reads nothing for this long makes a write give up.
constexpr int WriteBoundMs = 5000;
// Names tried in a folder of links before giving up.
constexpr int MaxLinkTries = 256;
} // namespace

SimPty::~SimPty()
{
    close();
}

bool SimPty::openPair(QString* error)
{
    close();
    int m = -1, s = -1;
    char name[256] = {0};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) {
        if (error)
            *error =
                QStringLiteral("openpty failed: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // The slave stays open here as well: the line discipline then keeps raw mode while the
    // updater closes and reopens its port, and the master never sees a hang-up from that.
    termios tio;
    if (::tcgetattr(s, &tio) == 0) {
        ::cfmakeraw(&tio);
        tio.c_cc[VMIN] = 1;
        tio.c_cc[VTIME] = 0;
        ::cfsetispeed(&tio, B115200);
        ::cfsetospeed(&tio, B115200);
        ::tcsetattr(s, TCSANOW, &tio);
    }
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    master = m;
    slave = s;
    path = QString::fromLocal8Bit(name);
    pending.clear();
    pendingPos = 0;
    return true;
}

bool SimPty::open(const QString& link, QString* error)
{
    if (!openPair(error))
        return false;
    if (link.isEmpty())
        return true;
    const QByteArray l = QFile::encodeName(link);
    ::unlink(l.constData());
    if (::symlink(QFile::encodeName(path).constData(), l.constData()) != 0) {
        if (error)
            *error = QStringLiteral("cannot link %1 to %2: %3")
                         .arg(link, path, QString::fromLocal8Bit(strerror(errno)));
        close();
        return false;
    }
    linkPath = link;
    return true;
}

bool SimPty::openInFolder(const QString& folder, const QString& prefix, int* number, QString* error)
{
    if (!QDir().mkpath(folder)) {
        if (error)
            *error = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    if (!openPair(error))
        return false;
    // A name that exists belongs to another console (or to a device still held): move on, as
    // the kernel gives the next free number.
    for (int n = *number; n < *number + MaxLinkTries; ++n) {
        const QString link = QDir(folder).filePath(prefix + QString::number(n));
        if (::symlink(QFile::encodeName(path).constData(), QFile::encodeName(link).constData()) ==
            0) {
            linkPath = link;
            *number = n;
            return true;
        }
        if (errno != EEXIST)
            break;
    }
    if (error)
        *error = QStringLiteral("cannot link %1 into %2: %3")
                     .arg(path, folder, QString::fromLocal8Bit(strerror(errno)));
    close();
    return false;
}

void SimPty::close()
{
    if (slave >= 0)
        ::close(slave);
    if (master >= 0)
        ::close(master);
    slave = master = -1;
    if (!linkPath.isEmpty()) {
        // Only our own link goes; a link someone else re-pointed stays.
        const QByteArray l = QFile::encodeName(linkPath);
        char target[256] = {0};
        const ssize_t n = ::readlink(l.constData(), target, sizeof target - 1);
        if (n > 0 && QString::fromLocal8Bit(target, int(n)) == path)
            ::unlink(l.constData());
        linkPath.clear();
    }
}

bool SimPty::fillBuffer(int timeoutMs)
{
    QDeadlineTimer deadline(timeoutMs < 0 ? 0 : timeoutMs);
    for (;;) {
        if (stopping.load() || master < 0)
            return false;
        const int left = int(deadline.remainingTime());
        pollfd p{master, POLLIN, 0};
        const int r = ::poll(&p, 1, qMin(left, SliceMs));
        if (r > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(master, buf, sizeof buf);
            if (n > 0) {
                if (pendingPos >= pending.size()) {
                    pending.clear();
                    pendingPos = 0;
                }
                pending.append(buf, int(n));
                keepRate(n);
                return true;
            }
            // EIO: no slave open just now; the peer is between close and open.
            if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
                return false;
            ::usleep(HungUpPauseMs * 1000);
        } else if (r > 0) {
            ::usleep(HungUpPauseMs * 1000); // POLLHUP / POLLERR without data
        } else if (r < 0 && errno != EINTR) {
            return false;
        }
        if (deadline.hasExpired())
            return false;
    }
}

void SimPty::setReadRate(int bytesPerSecond)
{
    readRate = bytesPerSecond;
    readSinceStart = 0;
    rateClock.start();
}

// A slow line: the next read waits until what was taken in so far is due.
void SimPty::keepRate(qint64 bytes)
{
    if (readRate <= 0)
        return;
    // A quiet line saves up no allowance for a burst later.
    if (rateClock.elapsed() > readSinceStart * 1000 / readRate) {
        rateClock.restart();
        readSinceStart = 0;
    }
    readSinceStart += bytes;
    const qint64 dueMs = readSinceStart * 1000 / readRate;
    const qint64 ahead = dueMs - rateClock.elapsed();
    if (ahead > 0)
        ::usleep(useconds_t(qMin<qint64>(ahead, 1000) * 1000));
}

int SimPty::readByte(int timeoutMs)
{
    if (pendingPos < pending.size())
        return quint8(pending[pendingPos++]);
    if (stopping.load() || master < 0)
        return Closed;
    if (!fillBuffer(timeoutMs))
        return (stopping.load() || master < 0) ? Closed : Timeout;
    return quint8(pending[pendingPos++]);
}

QByteArray SimPty::drain(int quietMs, int maxMs)
{
    QByteArray got;
    QDeadlineTimer deadline(maxMs);
    while (!deadline.hasExpired()) {
        const int c = readByte(quietMs);
        if (c < 0)
            break;
        got.append(char(c));
    }
    return got;
}

void SimPty::unread(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return;
    pending = bytes + pending.mid(pendingPos);
    pendingPos = 0;
}

bool SimPty::write(const QByteArray& bytes)
{
    QDeadlineTimer deadline(WriteBoundMs);
    int done = 0;
    while (done < bytes.size()) {
        if (stopping.load() || master < 0)
            return false;
        const ssize_t n = ::write(master, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR && errno != EIO)
            return false;
        if (deadline.hasExpired())
            return false;
        pollfd p{master, POLLOUT, 0};
        if (::poll(&p, 1, SliceMs) > 0 && !(p.revents & POLLOUT))
            ::usleep(HungUpPauseMs * 1000);
    }
    return true;
}

bool SimPty::sleep(int ms)
{
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) {
        if (stopping.load())
            return false;
        ::usleep(unsigned(qMin<qint64>(deadline.remainingTime(), SliceMs)) * 1000);
    }
    return !stopping.load();
}
