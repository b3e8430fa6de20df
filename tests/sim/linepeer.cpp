#include "linepeer.h"

#include <QElapsedTimer>
#include <QFile>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

LinePeer::~LinePeer()
{
    close();
}

bool LinePeer::open(const QString& path)
{
    close();
    handle = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (handle < 0)
        return false;
    termios tio;
    if (::tcgetattr(handle, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(handle, TCSANOW, &tio);
    }
    return true;
}

void LinePeer::close()
{
    if (handle >= 0)
        ::close(handle);
    handle = -1;
}

bool LinePeer::write(const QByteArray& bytes)
{
    int done = 0;
    QElapsedTimer t;
    t.start();
    while (done < bytes.size() && t.elapsed() < 5000) {
        const ssize_t n = ::write(handle, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0)
            done += int(n);
        else
            ::usleep(1000);
    }
    return done == bytes.size();
}

QByteArray LinePeer::readUntil(const QByteArray& wanted, int ms)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        if (!wanted.isEmpty() && got.contains(wanted))
            break;
        pollfd p{handle, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLIN)) {
            char buf[4096];
            const ssize_t n = ::read(handle, buf, sizeof buf);
            if (n > 0)
                got.append(buf, int(n));
        } else if (p.revents & (POLLHUP | POLLERR)) {
            break;
        }
    }
    return got;
}

bool LinePeer::waitHangUp(int ms)
{
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        pollfd p{handle, POLLIN, 0};
        if (::poll(&p, 1, 20) > 0 && (p.revents & POLLHUP))
            return ::write(handle, "\r", 1) < 0;
        if (p.revents & POLLIN) {
            char buf[4096];
            if (::read(handle, buf, sizeof buf) < 0)
                ::usleep(1000);
        }
    }
    return false;
}

QByteArray LinePeer::readCount(int count, int ms)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (got.size() < count && t.elapsed() < ms)
        got += readFor(20);
    return got;
}

QByteArray LinePeer::readFor(int ms)
{
    return readUntil(QByteArray(), ms);
}

QByteArray LinePeer::readQuiet(int quietMs, int maxMs)
{
    QByteArray got;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < maxMs) {
        const QByteArray more = readFor(quietMs);
        if (more.isEmpty())
            break;
        got += more;
    }
    return got;
}

QByteArray LinePeer::command(const QByteArray& bytes, int waitMs)
{
    readFor(0);
    write(bytes);
    return readFor(waitMs);
}
