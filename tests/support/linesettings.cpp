// Kept apart: <asm/termbits.h>, which has termios2, clashes with <termios.h>.
#include "pseudoterminal.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

TerminalSettings PseudoTerminal::settings() const
{
    termios2 t{};
    if (::ioctl(m_slave, TCGETS2, &t) != 0)
        return {};
    return {t.c_cflag, t.c_iflag, t.c_ispeed, t.c_ospeed};
}

bool PseudoTerminal::setSettings(const TerminalSettings &settings)
{
    termios2 t{};
    if (::ioctl(m_slave, TCGETS2, &t) != 0)
        return false;
    t.c_cflag = (settings.cflag & ~tcflag_t(CBAUD)) | BOTHER;
    t.c_iflag = settings.iflag;
    t.c_ispeed = settings.inputSpeed;
    t.c_ospeed = settings.outputSpeed;
    return ::ioctl(m_slave, TCSETS2, &t) == 0;
}
