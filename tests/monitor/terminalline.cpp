// Kept apart: <asm/termbits.h>, which has termios2, clashes with <termios.h>.
#include "terminalline.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool setTerminalLine(int fd, unsigned baud, int stopBits, bool parityOdd, bool markSpace)
{
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return false;
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR);
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CS8 | CREAD | CLOCAL;
    if (stopBits == 2)
        t.c_cflag |= CSTOPB;
    if (parityOdd || markSpace)
        t.c_cflag |= PARENB;
    if (parityOdd)
        t.c_cflag |= PARODD;
    if (markSpace)
        t.c_cflag |= CMSPAR;
    t.c_ispeed = t.c_ospeed = baud;
    return ::ioctl(fd, TCSETS2, &t) == 0;
}
