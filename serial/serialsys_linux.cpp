// The real system calls behind SerialSys.
#include "serialsys.h"

#include <csignal>
#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace
{

// A blocked TIOCMIWAIT ends only by a signal: this one, with a handler that does nothing and
// no SA_RESTART, makes the call return EINTR.
int interruptSignal()
{
    return SIGRTMIN + 4;
}

void ignoreInterrupt(int) {}

void installInterruptHandler()
{
    static const bool installed = [] {
        struct sigaction sa = {};
        sa.sa_handler = ignoreInterrupt;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;
        return ::sigaction(interruptSignal(), &sa, nullptr) == 0;
    }();
    (void)installed;
}

} // namespace

int SerialSys::open(const char* path, int flags)
{
    installInterruptHandler();
    return ::open(path, flags);
}

int SerialSys::close(int fd)
{
    return ::close(fd);
}

ssize_t SerialSys::read(int fd, void* data, size_t size)
{
    return ::read(fd, data, size);
}

ssize_t SerialSys::write(int fd, const void* data, size_t size)
{
    return ::write(fd, data, size);
}

int SerialSys::ioctl(int fd, unsigned long request, void* arg)
{
    return ::ioctl(fd, request, arg);
}

int SerialSys::flock(int fd, int operation)
{
    return ::flock(fd, operation);
}

int SerialSys::tcgetattr(int fd, termios* tio)
{
    return ::tcgetattr(fd, tio);
}

int SerialSys::tcsetattr(int fd, int when, const termios* tio)
{
    return ::tcsetattr(fd, when, tio);
}

int SerialSys::tcflush(int fd, int queue)
{
    return ::tcflush(fd, queue);
}

int SerialSys::poll(pollfd* fds, nfds_t count, int timeoutMs)
{
    return ::poll(fds, count, timeoutMs);
}

int SerialSys::eventfd(unsigned int initial, int flags)
{
    return ::eventfd(initial, flags);
}

int SerialSys::interruptThread(pthread_t thread)
{
    installInterruptHandler();
    return ::pthread_kill(thread, interruptSignal());
}
