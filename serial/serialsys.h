#ifndef SERIALSYS_H
#define SERIALSYS_H

#include <poll.h>
#include <pthread.h>
#include <sys/types.h>
#include <termios.h>

// The system calls the platform file makes, one function each with the system's own return
// rule (-1 and errno on failure). The program links the real ones (serialsys_linux.cpp); the
// serial tests link a simulated device in their place.
namespace SerialSys
{
int open(const char* path, int flags);
int close(int fd);
ssize_t read(int fd, void* data, size_t size);
ssize_t write(int fd, const void* data, size_t size);
// Requests with an int argument pass it by address; TIOCMIWAIT passes its mask as the value.
int ioctl(int fd, unsigned long request, void* arg);
int flock(int fd, int operation);
int tcgetattr(int fd, termios* tio);
int tcsetattr(int fd, int when, const termios* tio);
int tcflush(int fd, int queue);
int poll(pollfd* fds, nfds_t count, int timeoutMs);
int eventfd(unsigned int initial, int flags);
// Interrupts a blocking call of another thread (signal handler without restart).
int interruptThread(pthread_t thread);
// Any line rate in bit/s (termios2); kept apart because its header clashes with <termios.h>.
int setLineRate(int fd, unsigned int rate);
// The line rate in bit/s, 0 when it cannot be read.
unsigned int lineRate(int fd);
} // namespace SerialSys

#endif // SERIALSYS_H
