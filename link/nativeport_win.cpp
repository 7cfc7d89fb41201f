#include "nativeport.h"
#include "portname.h"

#include <QFileInfo>

namespace nativeport {

QString checkDevice(const QString &)
{
    return {};
}

QString prepareOpened(QSerialPort &port)
{
    if (!port.setDataTerminalReady(false) || !port.setRequestToSend(false))
        return port.errorString();
    return {};
}

QSerialPort::StopBits stopBits(StopBits bits)
{
    switch (bits) {
    case StopBits::One: return QSerialPort::OneStop;
    case StopBits::OneAndHalf: return QSerialPort::OneAndHalfStop;
    case StopBits::Two: return QSerialPort::TwoStop;
    }
    return QSerialPort::OneStop;
}

QString writeAll(QSerialPort &port, const QByteArray &bytes, QDeadlineTimer deadline,
                 bool &deviceGone)
{
    if (port.write(bytes) != bytes.size()) {
        deviceGone = port.error() == QSerialPort::ResourceError;
        return port.errorString();
    }
    while (port.bytesToWrite() > 0) {
        if (!port.waitForBytesWritten(static_cast<int>(qMax<qint64>(0, deadline.remainingTime())))) {
            port.clear(QSerialPort::Output);
            deviceGone = port.error() == QSerialPort::ResourceError;
            return deadline.hasExpired() ? QStringLiteral("Write timed out") : port.errorString();
        }
    }
    return {};
}

QString discard(QSerialPort &port, bool &deviceGone)
{
    if (port.clear(QSerialPort::AllDirections))
        return {};
    deviceGone = port.error() == QSerialPort::ResourceError;
    return port.errorString();
}

} // namespace nativeport

PortDevice resolvePortName(const QString &name)
{
    return {name, {}, {}};
}
