#include "nativeport.h"
#include "portname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

namespace nativeport {

namespace {

QString systemError(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

bool isDeviceGone(int error)
{
    return error == EIO || error == ENXIO || error == ENODEV || error == EBADF || error == EPIPE;
}

bool isAlive(qint64 pid)
{
    return pid > 0 && pid <= INT_MAX && pid != ::getpid()
        && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

// The live process, other than this one, named by a UUCP lock file on the
// device (LCK..ttyUSB0 in the lock folder: its number in ASCII, or in four
// binary bytes from older programs). minicom, cu and Qt programs write
// them; QSerialPort itself takes a port whose lock file is not one of
// Qt's own, so the program looks first. 0 when there is none.
qint64 lockFileHolder(const QString &path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    QStringList seen;
    for (const char *folder : {"/var/lock", "/run/lock", "/var/lock/lockdev"}) {
        const QString real = QFileInfo(QLatin1String(folder)).canonicalFilePath();
        if (real.isEmpty() || seen.contains(real))
            continue;
        seen.append(real);
        QFile file(real + QStringLiteral("/LCK..") + name);
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QByteArray content = file.read(64);
        bool ascii = false;
        qint64 pid = content.left(content.indexOf('\n')).trimmed().toLongLong(&ascii);
        if (!ascii && content.size() == int(sizeof(qint32))) {
            qint32 binary = 0;
            std::memcpy(&binary, content.constData(), sizeof binary);
            pid = binary;
        }
        if (isAlive(pid))
            return pid;
    }
    return 0;
}

// The live process, other than this one, that holds a lock (flock or
// fcntl) on the device node itself, as picocom and pyserial's exclusive
// mode do; found in /proc/locks without opening the device. 0 when none.
qint64 deviceLockHolder(const struct stat &st)
{
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly | QIODevice::Text))
        return 0;
    const QByteArray node = QByteArray::number(major(st.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(minor(st.st_dev), 16).rightJustified(2, '0') + ':'
        + QByteArray::number(quint64(st.st_ino));
    // "1: FLOCK  ADVISORY  WRITE 1234 00:05:87 0 EOF"; a waiting lock has
    // "->" before its type and holds nothing.
    for (const QByteArray &line : locks.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() >= 6 && fields[1] != "->" && fields[5] == node && isAlive(fields[4].toLongLong()))
            return fields[4].toLongLong();
    }
    return 0;
}

} // namespace

QString checkDevice(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return systemError(errno);
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("%1 is not a terminal device").arg(path);
    // Another program that says it has the port: refused before anything
    // of this one's (line settings, modem lines) reaches the device.
    if (const qint64 pid = lockFileHolder(path))
        return QStringLiteral("in use by another program (process %1 has its lock file)").arg(pid);
    if (const qint64 pid = deviceLockHolder(st))
        return QStringLiteral("in use by another program (process %1 holds a lock on it)").arg(pid);
    return {};
}

QString prepareOpened(QSerialPort &port)
{
    const int fd = static_cast<int>(port.handle());
    if (!::isatty(fd))
        return QStringLiteral("%1 is not a terminal device").arg(port.portName());
    // Held while open, so that programs that lock the device see this one.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return QStringLiteral("%1 is in use by another program").arg(port.portName());
    int lines = TIOCM_DTR | TIOCM_RTS;
    // A device without modem lines, such as a pseudo-terminal, has nothing to lower.
    if (::ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL)
        return QStringLiteral("Cannot lower DTR and RTS: %1").arg(systemError(errno));
    return {};
}

QSerialPort::StopBits stopBits(StopBits bits)
{
    // CSTOPB with five data bits is sent as 1.5 stop bits by a 16550-class
    // UART; the callers allow 1.5 only with five data bits.
    return bits == StopBits::One ? QSerialPort::OneStop : QSerialPort::TwoStop;
}

QString writeAll(QSerialPort &port, const QByteArray &bytes, QDeadlineTimer deadline,
                 bool &deviceGone)
{
    const int fd = static_cast<int>(port.handle());
    const auto timedOut = [fd] {
        ::tcflush(fd, TCOFLUSH);
        return QStringLiteral("Write timed out");
    };
    const auto failed = [&deviceGone](int error) {
        deviceGone = isDeviceGone(error);
        return QStringLiteral("Write error: %1").arg(systemError(error));
    };

    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return failed(errno);
        if (deadline.hasExpired())
            return timedOut();
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(qMin<qint64>(deadline.remainingTime(), 100)));
        if (ready < 0 && errno != EINTR)
            return failed(errno);
        if (ready > 0 && (p.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(p.revents & POLLOUT)) {
            deviceGone = true;
            return QStringLiteral("Write error: the device has gone away");
        }
    }

    // tcdrain() has no time-out, so wait for the driver's queue to empty
    // first; then tcdrain() only waits for the last character to leave.
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
            return failed(errno);
        if (queued == 0)
            break;
        if (deadline.hasExpired())
            return timedOut();
        ::poll(nullptr, 0, static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, 5)));
    }
    while (::tcdrain(fd) != 0) {
        if (errno != EINTR)
            return failed(errno);
    }
    return {};
}

QString discard(QSerialPort &port, bool &deviceGone)
{
    const int fd = static_cast<int>(port.handle());
    // Every write drains, so output is pending only on a real port still
    // sending. A pseudo-terminal reports none, and flushing it anyway would
    // throw away bytes already delivered but not yet read at the far end.
    int queued = 0;
    const bool outputPending = ::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0;
    if (::tcflush(fd, outputPending ? TCIOFLUSH : TCIFLUSH) == 0)
        return {};
    const int error = errno;
    deviceGone = isDeviceGone(error);
    return QStringLiteral("Cannot clear the port's buffers: %1").arg(systemError(error));
}

} // namespace nativeport

QString portLinkFolder()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/vkd417-demo/ports");
}

PortDevice resolvePortName(const QString &name)
{
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]*)$"));
    const auto match = comName.match(name);
    if (!match.hasMatch())
        return {{}, {}, QStringLiteral("No such port")};

    const QString link = portLinkFolder() + QLatin1Char('/') + name;
    struct stat st{};
    if (::lstat(QFile::encodeName(link).constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode))
            return {{}, link, QStringLiteral("%1 is not a link to a device").arg(link)};
        // The device by its own name (/dev/ttyUSB0, not /dev/serial/by-id/...),
        // so that programs that lock a port by its name see each other
        // whatever link led them to it. QFile resolves a relative target
        // against the link's folder.
        const QString target = QFile::symLinkTarget(link);
        const QString device = QFileInfo(target).canonicalFilePath();
        return {device.isEmpty() ? target : device, link, {}};
    }
    if (errno != ENOENT)
        return {{}, link, QStringLiteral("Cannot look up %1: %2").arg(link, nativeport::systemError(errno))};
    return {QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1), {}, {}};
}
