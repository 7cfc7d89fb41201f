// Kept apart: <asm/termbits.h>, which has termios2, clashes with <termios.h>.
#include "linesettings.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace monitor {

std::optional<ObservedLine> observeLine(int fd)
{
    termios2 t{};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return std::nullopt;
    ObservedLine line;
    line.outputBaud = t.c_ospeed;
    line.inputBaud = t.c_ispeed;
    line.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    line.parityOdd = (t.c_cflag & PARODD) != 0;
    line.markSpace = (t.c_cflag & CMSPAR) != 0;
    return line;
}

} // namespace monitor
