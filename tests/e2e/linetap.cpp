#include "linetap.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

LineTap::LineTap(const QString& consolePath) : consolePath(consolePath), updaterSide(true) {}

LineTap::~LineTap()
{
    stop();
}

bool LineTap::start(QString* error)
{
    if (!updaterSide.isValid()) {
        *error = updaterSide.errorString();
        return false;
    }
    consoleFd = ::open(QFile::encodeName(consolePath).constData(),
                       O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (consoleFd < 0) {
        *error = QStringLiteral("cannot open %1: %2")
                     .arg(consolePath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    termios tio{};
    if (::tcgetattr(consoleFd, &tio) == 0) {
        ::cfmakeraw(&tio);
        ::tcsetattr(consoleFd, TCSANOW, &tio);
    }
    relay = std::thread([this] { run(); });
    return true;
}

void LineTap::stop()
{
    stopping = true;
    if (relay.joinable())
        relay.join();
    if (consoleFd >= 0)
        ::close(consoleFd);
    consoleFd = -1;
}

QByteArray LineTap::sentToConsole() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return sent;
}

bool LineTap::writeAll(int fd, const QByteArray& data)
{
    int done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        pollfd p{fd, POLLOUT, 0};
        ::poll(&p, 1, 50);
    }
    return true;
}

void LineTap::run()
{
    const int updaterFd = updaterSide.masterFd();
    char buffer[4096];
    while (!stopping) {
        pollfd fds[2] = {{updaterFd, POLLIN, 0}, {consoleFd, POLLIN, 0}};
        if (::poll(fds, 2, 20) <= 0)
            continue;
        bool idle = true;
        if (fds[0].revents & POLLIN) {
            const ssize_t n = ::read(updaterFd, buffer, sizeof buffer);
            if (n > 0) {
                idle = false;
                const QByteArray chunk(buffer, int(n));
                {
                    std::lock_guard<std::mutex> lock(mutex);
                    sent += chunk;
                }
                writeAll(consoleFd, chunk);
            }
        }
        if (fds[1].revents & POLLIN) {
            const ssize_t n = ::read(consoleFd, buffer, sizeof buffer);
            if (n > 0) {
                idle = false;
                QByteArray chunk(buffer, int(n));
                if (fromConsole)
                    chunk = fromConsole(chunk);
                writeAll(updaterFd, chunk);
            }
        }
        // A side without readers reports a hang-up at once; do not spin on it.
        if (idle)
            ::usleep(5000);
    }
}
