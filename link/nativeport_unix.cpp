// The port is spoken to by ioctl alone: termios2 (any rate, 14400 too, in
// one update) comes from <asm/termbits.h>, which clashes with <termios.h>.
#include "nativeport.h"
#include "portname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStringList>

#include <algorithm>
#include <memory>

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <future>
#include <grp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>
#include <unistd.h>

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

// "1234 (minicom)", or the number alone when the process cannot be read.
QString describeProcess(qint64 pid)
{
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return QString::number(pid);
    return QStringLiteral("%1 (%2)").arg(pid).arg(QString::fromLocal8Bit(comm.readAll().trimmed()));
}

bool isPseudoTerminal(dev_t device)
{
    // Unix 98 pseudo-terminal slaves have majors 136 to 143.
    return major(device) >= 136 && major(device) <= 143;
}

// The lock folders that exist, each once (on Debian /var/lock is /run/lock).
QStringList lockFolders()
{
    QStringList folders;
    for (const char *folder : {"/run/lock", "/var/lock", "/var/lock/lockdev"}) {
        const QString real = QFileInfo(QLatin1String(folder)).canonicalFilePath();
        if (!real.isEmpty() && !folders.contains(real))
            folders.append(real);
    }
    return folders;
}

// The UUCP name of a device's lock file: LCK..ttyUSB0.
QString lockFileName(const QString &path)
{
    QString name = path.startsWith(QLatin1String("/dev/")) ? path.mid(5) : path;
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

// The process named by a lock file: its number in ASCII, or in four binary
// bytes from older programs. 0 when the file says nothing readable.
qint64 lockFilePid(const QString &file)
{
    QFile lock(file);
    if (!lock.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray content = lock.read(64);
    bool ascii = false;
    const qint64 pid = content.left(content.indexOf('\n')).trimmed().toLongLong(&ascii);
    if (ascii)
        return pid;
    if (content.size() == int(sizeof(qint32))) {
        qint32 binary = 0;
        std::memcpy(&binary, content.constData(), sizeof binary);
        return binary;
    }
    return 0;
}

// minicom, cu and Qt programs leave a lock file while they have a port. One
// that names a live process other than this one means the port is taken;
// one whose process has gone is removed where it can be, and never blocks.
// Returns the live holder, 0 when there is none.
qint64 lockFileHolder(const QString &path)
{
    for (const QString &folder : lockFolders()) {
        const QString file = folder + QLatin1Char('/') + lockFileName(path);
        if (!QFileInfo::exists(file))
            continue;
        const qint64 pid = lockFilePid(file);
        if (isAlive(pid))
            return pid;
        if (pid != ::getpid())
            QFile::remove(file);
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

// A process whose controlling terminal is the device (a shell's, an
// editor's): such a terminal is someone's session, never a free port, even
// when a stale link leads to it. 0 when there is none.
qint64 terminalOwner(dev_t device)
{
    // /proc/<pid>/stat gives the terminal as the kernel encodes device numbers.
    const quint64 encoded = (minor(device) & 0xffu) | (quint64(major(device)) << 8)
        | (quint64(minor(device) & ~0xffu) << 12);
    const QStringList pids = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &pid : pids) {
        if (!pid.front().isDigit())
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        // "pid (comm) state ppid pgrp session tty_nr ...": comm may hold
        // anything, so count from its closing bracket.
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        if (fields.size() > 4 && fields[4].toULongLong() == encoded)
            return pid.toLongLong();
    }
    return 0;
}

// The kernel driver behind a device, "ftdi_sio" for /dev/ttyUSB0; empty
// when there is none to be found (a pseudo-terminal).
QString driverOf(const QString &path)
{
    const QString link = QStringLiteral("/sys/class/tty/%1/device/driver").arg(QFileInfo(path).fileName());
    const QString target = QFileInfo(link).canonicalFilePath();
    return target.isEmpty() ? QString() : QFileInfo(target).fileName();
}

// What the common drivers are known to change without saying so in the
// settings they report back: ftdi_sio keeps CS5 while telling the chip "0
// data bits" and reverts CS6; it, ch341, cp210x and cdc_acm can only say 1
// or 2 stop bits, so 1.5 (CS5 with CSTOPB) goes out as 2. The 16550 family
// and pl2303 send 1.5 stop bits for CS5 with CSTOPB.
QString driverRefusal(const QString &driver, const LineSettings &settings)
{
    if (driver == QLatin1String("ftdi_sio")
        && (settings.dataBits == DataBits::Five || settings.dataBits == DataBits::Six))
        return describeDataBits(settings.dataBits);
    static const QStringList noOneAndHalf = {QStringLiteral("ftdi_sio"), QStringLiteral("ch341-uart"),
                                             QStringLiteral("cp210x"), QStringLiteral("cdc_acm")};
    if (settings.stopBits == StopBits::OneAndHalf && noOneAndHalf.contains(driver))
        return describeStopBits(settings.stopBits);
    return {};
}

termios2 withSettings(termios2 t, const LineSettings &settings)
{
    static constexpr tcflag_t sizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag &= ~tcflag_t(CBAUD | (CBAUD << IBSHIFT) | CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS);
    t.c_cflag |= BOTHER | (BOTHER << IBSHIFT) | CLOCAL | CREAD | sizes[static_cast<int>(settings.dataBits)];
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(settings.baudRate);
    // CSTOPB with five data bits is 1.5 stop bits on a UART; 1.5 goes only
    // with five data bits (ComPort refuses the rest).
    if (settings.stopBits != StopBits::One)
        t.c_cflag |= CSTOPB;
    switch (settings.parity) {
    case Parity::None: break;
    case Parity::Odd: t.c_cflag |= PARENB | PARODD; break;
    case Parity::Even: t.c_cflag |= PARENB; break;
    case Parity::Mark: t.c_cflag |= PARENB | CMSPAR | PARODD; break;
    case Parity::Space: t.c_cflag |= PARENB | CMSPAR; break;
    }
    // Raw: every byte goes out as it is, and no byte of flow control.
    t.c_iflag = 0;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    return t;
}

// The first setting that the device did not keep as asked, in words; empty
// when it kept them all. A pseudo-terminal keeps no data-bit size and no
// parity enable, so only what it keeps is compared there.
QString settingNotKept(const termios2 &asked, const termios2 &kept, const LineSettings &settings,
                       bool pseudoTerminal)
{
    if (!pseudoTerminal && (asked.c_cflag & CSIZE) != (kept.c_cflag & CSIZE))
        return describeDataBits(settings.dataBits);
    const tcflag_t parity = (pseudoTerminal ? 0 : PARENB) | PARODD | CMSPAR;
    if ((asked.c_cflag & parity) != (kept.c_cflag & parity))
        return describeParity(settings.parity);
    if ((asked.c_cflag & CSTOPB) != (kept.c_cflag & CSTOPB))
        return describeStopBits(settings.stopBits);
    // A UART's rate is a divisor of its clock: within 2 % is the rate asked.
    if (std::abs(double(kept.c_ospeed) - asked.c_ospeed) > 0.02 * asked.c_ospeed)
        return describeBaudRate(settings.baudRate);
    return {};
}

} // namespace

struct NativePort::Device
{
    ~Device()
    {
        if (fd >= 0)
            ::close(fd);
    }

    int fd = -1;
    QString path;
    QString driver;
    bool pseudoTerminal = false;
    termios2 original{};
    termios2 current{};
    // Our own UUCP lock file, empty when no lock folder would take one.
    QString lockFile;
};

NativePort::NativePort() = default;

NativePort::~NativePort()
{
    close();
}

bool NativePort::isOpen() const
{
    return m_device != nullptr;
}

QString NativePort::open(const QString &path, const LineSettings &settings)
{
    close();
    const auto cannotOpen = [&path](const QString &reason) {
        return QStringLiteral("Cannot open %1: %2").arg(path, reason);
    };
    const QByteArray name = QFile::encodeName(path);
    struct stat st{};
    if (::stat(name.constData(), &st) != 0)
        return cannotOpen(systemError(errno));
    if (!S_ISCHR(st.st_mode))
        return cannotOpen(QStringLiteral("%1 is not a terminal device").arg(path));
    // Nothing of this program reaches a device that someone else has, not
    // even its line settings or modem lines.
    if (const qint64 pid = terminalOwner(st.st_rdev))
        return cannotOpen(QStringLiteral("it is the terminal of process %1, not a free port")
                              .arg(describeProcess(pid)));
    if (const qint64 pid = lockFileHolder(path))
        return cannotOpen(QStringLiteral("in use by process %1, which has its lock file").arg(describeProcess(pid)));
    if (const qint64 pid = deviceLockHolder(st))
        return cannotOpen(QStringLiteral("in use by process %1, which has locked it").arg(describeProcess(pid)));

    auto device = std::make_unique<Device>();
    device->path = path;
    device->fd = ::open(name.constData(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (device->fd < 0) {
        const int error = errno;
        if (error == EACCES) {
            const group *owner = ::getgrgid(st.st_gid);
            return cannotOpen(QStringLiteral("Permission denied: add yourself to the group %1 and log in again")
                                  .arg(owner ? QString::fromLocal8Bit(owner->gr_name) : QStringLiteral("of %1").arg(path)));
        }
        if (error == EBUSY)
            return cannotOpen(QStringLiteral("in use by another program, which has it in exclusive mode"));
        return cannotOpen(systemError(error));
    }
    const int fd = device->fd;
    if (::ioctl(fd, TCGETS2, &device->original) != 0)
        return cannotOpen(QStringLiteral("%1 is not a terminal device").arg(path));
    device->current = device->original;
    // Held while open, so that programs that check for locks see this one.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return cannotOpen(QStringLiteral("in use by another program, which has locked it"));
    ::ioctl(fd, TIOCEXCL);
    m_device = std::move(device);
    m_device->pseudoTerminal = isPseudoTerminal(st.st_rdev);
    m_device->driver = driverOf(path);

    for (const QString &folder : lockFolders()) {
        const QString file = folder + QLatin1Char('/') + lockFileName(path);
        const int lock = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (lock < 0)
            continue;
        const QByteArray pid = QByteArray::number(::getpid()).rightJustified(10, ' ') + '\n';
        const bool written = ::write(lock, pid.constData(), size_t(pid.size())) == pid.size();
        ::close(lock);
        if (written) {
            m_device->lockFile = file;
            break;
        }
        QFile::remove(file);
    }

    if (QString error = apply(settings); !error.isEmpty()) {
        close();
        return error;
    }
    // The kernel raises DTR and RTS when it opens a port whose rate is not
    // 0; lower them at once. A device without modem lines, such as a
    // pseudo-terminal, has nothing to lower.
    int lines = TIOCM_DTR | TIOCM_RTS;
    if (::ioctl(fd, TIOCMBIC, &lines) != 0 && errno != ENOTTY && errno != EINVAL) {
        const int error = errno;
        close();
        return QStringLiteral("Cannot lower DTR and RTS on %1: %2").arg(path, systemError(error));
    }
    return {};
}

QString NativePort::apply(const LineSettings &settings)
{
    if (!m_device)
        return QStringLiteral("The port is not open");
    Device &device = *m_device;
    if (const QString setting = driverRefusal(device.driver, settings); !setting.isEmpty())
        return cannotSend(device.path, setting);

    const termios2 asked = withSettings(device.current, settings);
    termios2 kept{};
    if (::ioctl(device.fd, TCSETS2, &asked) != 0 || ::ioctl(device.fd, TCGETS2, &kept) != 0) {
        const int error = errno;
        ::ioctl(device.fd, TCSETS2, &device.current);
        return QStringLiteral("%1 refuses these line settings: %2").arg(device.path, systemError(error));
    }
    if (const QString setting = settingNotKept(asked, kept, settings, device.pseudoTerminal); !setting.isEmpty()) {
        ::ioctl(device.fd, TCSETS2, &device.current);
        return cannotSend(device.path, setting);
    }
    device.current = kept;
    return {};
}

void NativePort::close()
{
    if (!m_device)
        return;
    const int fd = m_device->fd;
    ::ioctl(fd, TIOCNXCL);
    ::ioctl(fd, TCSETS2, &m_device->original);
    if (!m_device->lockFile.isEmpty() && lockFilePid(m_device->lockFile) == ::getpid())
        QFile::remove(m_device->lockFile);
    m_device.reset();
}

QString NativePort::discard(bool &deviceGone)
{
    if (!m_device)
        return QStringLiteral("The port is not open");
    const int fd = m_device->fd;
    // Every write drains, so output is pending only on a real port still
    // sending. A pseudo-terminal reports none, and flushing it anyway would
    // throw away bytes already delivered but not yet read at the far end.
    int queued = 0;
    const bool outputPending = ::ioctl(fd, TIOCOUTQ, &queued) == 0 && queued > 0;
    if (::ioctl(fd, TCFLSH, outputPending ? TCIOFLUSH : TCIFLUSH) == 0)
        return {};
    const int error = errno;
    deviceGone = isDeviceGone(error);
    return QStringLiteral("Cannot clear the port's buffers: %1").arg(systemError(error));
}

namespace {

// Waits for the last character to leave where the driver cannot say how
// much it still holds: the wait has no time-out of its own, so it runs on
// a thread with its own copy of the handle, and the deadline still holds.
// Returns 0, the wait's errno, or ETIMEDOUT.
int drainWithin(int fd, QDeadlineTimer deadline)
{
    const int own = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (own < 0)
        return errno;
    auto done = std::make_shared<std::promise<int>>();
    std::future<int> result = done->get_future();
    std::thread([own, done] {
        int error = 0;
        while (::ioctl(own, TCSBRK, 1) != 0) {
            if (errno != EINTR) {
                error = errno;
                break;
            }
        }
        ::close(own);
        done->set_value(error);
    }).detach();
    const auto wait = std::chrono::milliseconds(qMax<qint64>(0, deadline.remainingTime()));
    if (result.wait_for(wait) == std::future_status::timeout)
        return ETIMEDOUT; // the discard that follows ends the wait
    return result.get();
}

} // namespace

QString NativePort::writeAll(const QByteArray &bytes, QDeadlineTimer deadline, bool &deviceGone)
{
    if (!m_device)
        return QStringLiteral("The port is not open");
    const int fd = m_device->fd;
    const auto timedOut = [fd] {
        ::ioctl(fd, TCFLSH, TCOFLUSH);
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

    // The wait for the last character has no time-out, so first wait for
    // the driver's queue to empty; then it only waits for that character.
    for (;;) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0) {
            if (errno != ENOTTY && errno != EINVAL)
                return failed(errno);
            const int error = drainWithin(fd, deadline);
            if (error == ETIMEDOUT)
                return timedOut();
            return error == 0 ? QString() : failed(error);
        }
        if (queued == 0)
            break;
        if (deadline.hasExpired())
            return timedOut();
        ::poll(nullptr, 0, static_cast<int>(std::clamp<qint64>(deadline.remainingTime(), 1, 5)));
    }
    while (::ioctl(fd, TCSBRK, 1) != 0) {
        if (errno != EINTR)
            return failed(errno);
    }
    return {};
}

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
        return {{}, link, QStringLiteral("Cannot look up %1: %2").arg(link, systemError(errno))};
    return {QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1), {}, {}};
}

QString describePortName(const QString &name)
{
    const PortDevice device = resolvePortName(name);
    if (device.path.isEmpty())
        return device.error;
    QString text = device.path;
    // A USB adapter's product string sits on its USB device, two levels up
    // from the tty's own device (the interface lies between).
    const QString sysDevice = QStringLiteral("/sys/class/tty/%1/device").arg(QFileInfo(device.path).fileName());
    for (const char *up : {"/../product", "/../../product"}) {
        QFile product(sysDevice + QLatin1String(up));
        if (product.open(QIODevice::ReadOnly)) {
            text += QStringLiteral(" \u2014 ") + QString::fromUtf8(product.readAll().trimmed());
            break;
        }
    }
    if (device.linkedFrom.isEmpty())
        text += QStringLiteral(", no link");
    if (!QFileInfo::exists(device.path))
        text += QStringLiteral(", not present");
    return text;
}
