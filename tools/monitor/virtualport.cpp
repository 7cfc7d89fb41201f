#include "virtualport.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace monitor {

VirtualPort::VirtualPort()
{
    m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0) {
        fail("cannot create a pseudo-terminal");
        return;
    }
    if (::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
        fail("cannot unlock the pseudo-terminal");
        return;
    }
    char name[256] = {};
    if (::ptsname_r(m_master, name, sizeof name) != 0) {
        fail("cannot name the pseudo-terminal");
        return;
    }
    m_path = name;

    // Held open by the monitor itself, so that the master end never reads
    // EIO (hang-up) while no sender has the port open.
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        fail("cannot open " + m_path);
        return;
    }
    // Raw, so that no echo, line editing or newline translation on the device
    // changes what a sender that sets nothing writes.
    termios t{};
    if (::tcgetattr(m_slave, &t) != 0) {
        fail("cannot read the settings of " + m_path);
        return;
    }
    ::cfmakeraw(&t);
    if (::tcsetattr(m_slave, TCSANOW, &t) != 0) {
        fail("cannot set " + m_path + " raw");
        return;
    }
    if (::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0) {
        fail("cannot make the pseudo-terminal non-blocking");
        return;
    }
}

VirtualPort::~VirtualPort()
{
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
}

bool VirtualPort::fail(const std::string &what)
{
    const int error = errno;
    m_error = what + ": " + std::strerror(error);
    if (m_slave >= 0)
        ::close(m_slave);
    if (m_master >= 0)
        ::close(m_master);
    m_slave = m_master = -1;
    return false;
}

} // namespace monitor
