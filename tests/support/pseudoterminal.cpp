#include "pseudoterminal.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

PseudoTerminal::PseudoTerminal()
{
    char name[256] = {};
    if (::openpty(&m_master, &m_slave, name, nullptr, nullptr) != 0) {
        m_master = m_slave = -1;
        return;
    }
    m_path = QString::fromLocal8Bit(name);
    ::fcntl(m_master, F_SETFL, ::fcntl(m_master, F_GETFL) | O_NONBLOCK);
    ::fcntl(m_master, F_SETFD, FD_CLOEXEC);
    ::fcntl(m_slave, F_SETFD, FD_CLOEXEC);
}

PseudoTerminal::~PseudoTerminal()
{
    closeMaster();
    if (m_slave >= 0)
        ::close(m_slave);
}

void PseudoTerminal::closeMaster()
{
    if (m_master >= 0)
        ::close(m_master);
    m_master = -1;
}

QByteArray PseudoTerminal::readAvailable(int quietMs)
{
    QByteArray out;
    char buf[65536];
    for (;;) {
        pollfd p{m_master, POLLIN, 0};
        if (::poll(&p, 1, quietMs) <= 0 || !(p.revents & POLLIN))
            return out;
        const ssize_t n = ::read(m_master, buf, sizeof buf);
        if (n <= 0)
            return out;
        out.append(buf, n);
    }
}

QByteArray PseudoTerminal::readExactly(qsizetype n, int timeoutMs)
{
    QByteArray out;
    QElapsedTimer timer;
    timer.start();
    char buf[65536];
    while (out.size() < n && timer.elapsed() < timeoutMs) {
        pollfd p{m_master, POLLIN, 0};
        const int left = timeoutMs - static_cast<int>(timer.elapsed());
        if (::poll(&p, 1, left > 0 ? left : 0) <= 0 || !(p.revents & POLLIN))
            continue;
        const ssize_t got = ::read(m_master, buf, std::min<qsizetype>(sizeof buf, n - out.size()));
        if (got > 0)
            out.append(buf, got);
    }
    return out;
}

bool PseudoTerminal::sendToDevice(const QByteArray &bytes)
{
    return ::write(m_master, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
}

int PseudoTerminal::pendingInput() const
{
    int queued = -1;
    ::ioctl(m_slave, FIONREAD, &queued);
    return queued;
}

bool PseudoTerminal::isExclusive() const
{
    int exclusive = 0;
    return ::ioctl(m_slave, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

PortLinks::PortLinks()
{
    m_hadValue = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_saved = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_dir.path()));
    QDir(m_dir.path()).mkpath(QStringLiteral("vkd417-demo/ports"));
    // Every name leads nowhere until the test links it.
    for (int n = 1; n <= 8; ++n)
        link(QStringLiteral("COM%1").arg(n), QStringLiteral("/nonexistent/vkd417-test-port"));
}

PortLinks::~PortLinks()
{
    if (m_hadValue)
        qputenv("XDG_CONFIG_HOME", m_saved);
    else
        qunsetenv("XDG_CONFIG_HOME");
}

bool PortLinks::link(const QString &comName, const QString &target)
{
    unlink(comName);
    return QFile::link(target, m_dir.filePath(QStringLiteral("vkd417-demo/ports/") + comName));
}

void PortLinks::unlink(const QString &comName)
{
    QFile::remove(m_dir.filePath(QStringLiteral("vkd417-demo/ports/") + comName));
}
