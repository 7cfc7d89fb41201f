#include "nativeport.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
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

} // namespace

QString checkDevice(const QString &path)
{
    struct stat st{};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return systemError(errno);
    if (!S_ISCHR(st.st_mode))
        return QStringLiteral("%1 is not a terminal device").arg(path);
    return {};
}

QString prepareOpened(QSerialPort &port)
{
    const int fd = static_cast<int>(port.handle());
    if (!::isatty(fd))
        return QStringLiteral("%1 is not a terminal device").arg(port.portName());
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
