#include "stdoutcapture.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

struct StdoutCapture::Private {
    int savedFd = -1;                  // where standard output went before
    int readFd = -1;                   // our end of the pipe now behind descriptor 1
    int stopRead = -1, stopWrite = -1; // wakes the reader when the capture ends
    std::thread reader;
};

namespace
{
// Writes all of data to fd, retrying after signals and short writes.
void writeAll(int fd, const char* data, size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return; // the old destination is gone; the sink still gets the bytes
        }
        data += n;
        size -= size_t(n);
    }
}

// Passes on what the pipe holds; false at the end of the stream or on an error.
bool drain(int readFd, int savedFd, const StdoutCapture::Sink& sink)
{
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(readFd, buffer, sizeof(buffer));
        if (n > 0) {
            writeAll(savedFd, buffer, size_t(n));
            sink(QByteArray(buffer, int(n)));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void readLoop(int readFd, int stopFd, int savedFd, const StdoutCapture::Sink& sink)
{
    for (;;) {
        pollfd fds[2] = {{readFd, POLLIN, 0}, {stopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents) {
            // Descriptor 1 is already back; take what was written before that and leave, even
            // if a child process still holds the pipe open.
            drain(readFd, savedFd, sink);
            return;
        }
        if (fds[0].revents && !drain(readFd, savedFd, sink))
            return;
    }
}

void closeFd(int& fd)
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}
} // namespace

StdoutCapture::StdoutCapture(Sink s) : sink(std::move(s)), d(new Private) {}

StdoutCapture::~StdoutCapture()
{
    stop();
}

bool StdoutCapture::isActive() const
{
    return d->reader.joinable();
}

bool StdoutCapture::start(QString* error)
{
    if (isActive())
        return true;
    auto fail = [this, error](const char* what) {
        const int e = errno;
        closeFd(d->readFd);
        closeFd(d->stopRead);
        closeFd(d->stopWrite);
        closeFd(d->savedFd);
        if (error)
            *error = QStringLiteral("%1: %2").arg(QLatin1String(what),
                                                  QString::fromLocal8Bit(std::strerror(e)));
        return false;
    };

    std::fflush(stdout);
    int data[2];
    if (::pipe2(data, O_CLOEXEC) != 0)
        return fail("pipe");
    d->readFd = data[0];
    int stopper[2];
    if (::pipe2(stopper, O_CLOEXEC) != 0) {
        ::close(data[1]);
        return fail("pipe");
    }
    d->stopRead = stopper[0];
    d->stopWrite = stopper[1];
    ::fcntl(d->readFd, F_SETFL, ::fcntl(d->readFd, F_GETFL) | O_NONBLOCK);
    d->savedFd = ::fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 0);
    if (d->savedFd < 0) {
        ::close(data[1]);
        return fail("dup of standard output");
    }
    if (::dup2(data[1], STDOUT_FILENO) < 0) {
        ::close(data[1]);
        return fail("dup2 onto standard output");
    }
    ::close(data[1]); // descriptor 1 is now the pipe's write end
    d->reader = std::thread(readLoop, d->readFd, d->stopRead, d->savedFd, std::cref(sink));
    return true;
}

void StdoutCapture::stop()
{
    if (!isActive())
        return;
    std::fflush(stdout);
    while (::dup2(d->savedFd, STDOUT_FILENO) < 0 && errno == EINTR) {
    }
    const char wake = 1;
    while (::write(d->stopWrite, &wake, 1) < 0 && errno == EINTR) {
    }
    d->reader.join();
    closeFd(d->readFd);
    closeFd(d->stopRead);
    closeFd(d->stopWrite);
    closeFd(d->savedFd);
}
