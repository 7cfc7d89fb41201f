#pragma once

#include <string>

namespace monitor {

// The pseudo-terminal that stands in for the display's serial port: the
// sender opens the device, the monitor reads the far (master) end.
class VirtualPort
{
public:
    VirtualPort();
    ~VirtualPort();
    VirtualPort(const VirtualPort &) = delete;
    VirtualPort &operator=(const VirtualPort &) = delete;

    bool isOpen() const { return m_master >= 0; }
    // Why it could not be made, when it could not.
    const std::string &error() const { return m_error; }

    int master() const { return m_master; }
    int device() const { return m_slave; }
    // The device the sender opens, e.g. /dev/pts/3.
    const std::string &devicePath() const { return m_path; }

private:
    bool fail(const std::string &what);

    int m_master = -1;
    int m_slave = -1;
    std::string m_path;
    std::string m_error;
};

} // namespace monitor
