// Line rates through termios2, which takes any rate in bit/s (BOTHER). <asm/termbits.h> cannot
// share a file with <termios.h>, so these two calls live here on their own.
#include <asm/termbits.h>
#include <cerrno>
#include <sys/ioctl.h>

namespace SerialSys
{
int setLineRate(int fd, unsigned int rate);
unsigned int lineRate(int fd);
} // namespace SerialSys

int SerialSys::setLineRate(int fd, unsigned int rate)
{
    struct termios2 tio = {};
    int r;
    while ((r = ::ioctl(fd, TCGETS2, &tio)) < 0 && errno == EINTR) {
    }
    if (r < 0)
        return -1;
    tio.c_cflag &= ~CBAUD;
    tio.c_cflag |= BOTHER;
    tio.c_cflag &= ~(CBAUD << IBSHIFT); // input rate follows the output rate
    tio.c_ospeed = rate;
    tio.c_ispeed = rate;
    while ((r = ::ioctl(fd, TCSETS2, &tio)) < 0 && errno == EINTR) {
    }
    return r;
}

unsigned int SerialSys::lineRate(int fd)
{
    struct termios2 tio = {};
    int r;
    while ((r = ::ioctl(fd, TCGETS2, &tio)) < 0 && errno == EINTR) {
    }
    return r < 0 ? 0 : tio.c_ospeed;
}
