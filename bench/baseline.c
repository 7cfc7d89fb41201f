#include "baseline.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

int baseline_open(const char *path)
{
    /* As the program opens a port: for writing only. */
    const int fd = open(path, O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct termios t;
    if (tcgetattr(fd, &t) != 0) {
        close(fd);
        return -1;
    }
    cfmakeraw(&t);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int baseline_send(int fd, int discard, const struct baseline_write *writes, size_t count)
{
    /* The program discards only the input queue on a pseudo-terminal, whose
       output queue is always empty after a drained write. */
    if (discard && tcflush(fd, TCIFLUSH) != 0)
        return -1;
    for (size_t i = 0; i < count; ++i) {
        size_t done = 0;
        while (done < writes[i].size) {
            const ssize_t n = write(fd, writes[i].bytes + done, writes[i].size - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                struct pollfd p = {fd, POLLOUT, 0};
                poll(&p, 1, 100);
                continue;
            }
            if (n < 0)
                return -1;
            done += (size_t)n;
        }
        while (tcdrain(fd) != 0) {
            if (errno != EINTR)
                return -1;
        }
    }
    return 0;
}
