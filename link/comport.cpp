#include "comport.h"

#include "portname.h"

#include <QDeadlineTimer>

namespace {

// The two combinations a UART cannot send; refused rather than quietly changed.
QString combinationError(const LineSettings &settings)
{
    if (settings.stopBits == StopBits::OneAndHalf && settings.dataBits != DataBits::Five)
        return QStringLiteral("1.5 stop bits can only be used with 5 data bits");
    if (settings.stopBits == StopBits::Two && settings.dataBits == DataBits::Five)
        return QStringLiteral("2 stop bits cannot be used with 5 data bits");
    return {};
}

} // namespace

ComPort::ComPort(QObject *parent) : QObject(parent) { }

ComPort::~ComPort()
{
    close();
}

void ComPort::raise(const QString &what) const
{
    throw ComPortError(QStringLiteral("%1: %2").arg(m_port, what));
}

void ComPort::setSettings(const QString &port, const LineSettings &settings)
{
    if (port != m_port && isOpen()) {
        close();
        m_port = port;
        m_settings = settings;
        open();
        return;
    }
    m_port = port;
    if (isOpen()) {
        if (const QString error = combinationError(settings); !error.isEmpty())
            raise(error);
        if (const QString error = m_native.apply(settings); !error.isEmpty())
            raise(error);
    }
    m_settings = settings;
}

void ComPort::setBaudRate(qint32 rate)
{
    LineSettings settings = m_settings;
    settings.baudRate = rate;
    setSettings(m_port, settings);
}

void ComPort::setPort(const QString &name)
{
    setSettings(name, m_settings);
}

void ComPort::setParity(Parity parity)
{
    LineSettings settings = m_settings;
    settings.parity = parity;
    setSettings(m_port, settings);
}

void ComPort::setDataBits(DataBits bits)
{
    LineSettings settings = m_settings;
    settings.dataBits = bits;
    setSettings(m_port, settings);
}

void ComPort::setStopBits(StopBits bits)
{
    LineSettings settings = m_settings;
    settings.stopBits = bits;
    setSettings(m_port, settings);
}

void ComPort::open()
{
    if (isOpen())
        return;
    if (const QString error = combinationError(m_settings); !error.isEmpty())
        raise(error);
    const PortDevice device = resolvePortName(m_port);
    if (device.path.isEmpty())
        raise(device.error);
    if (const QString error = m_native.open(device.path, m_settings); !error.isEmpty())
        raise(error);
    emit openChanged(true);
}

void ComPort::close()
{
    if (!m_native.isOpen())
        return;
    m_native.close();
    emit openChanged(false);
}

bool ComPort::isOpen() const
{
    return m_native.isOpen();
}

void ComPort::failOnDeviceError(const QString &error, bool deviceGone)
{
    if (error.isEmpty())
        return;
    if (!deviceGone)
        raise(error);
    close();
    raise(error + QStringLiteral("; the port has been closed"));
}

void ComPort::clearBuffers()
{
    if (!isOpen())
        raise(QStringLiteral("The port is not open"));
    bool gone = false;
    const QString error = m_native.discard(gone);
    failOnDeviceError(error, gone);
}

void ComPort::write(const QByteArray &bytes)
{
    if (!isOpen())
        raise(QStringLiteral("The port is not open"));
    if (bytes.isEmpty())
        return;
    const QDeadlineTimer deadline(m_writeTimeoutConstantMs
                                  + qint64(m_writeTimeoutPerByteMs) * bytes.size());
    bool gone = false;
    const QString error = m_native.writeAll(bytes, deadline, gone);
    failOnDeviceError(error, gone);
}

void ComPort::setWriteTimeout(int constantMs, int perByteMs)
{
    m_writeTimeoutConstantMs = constantMs;
    m_writeTimeoutPerByteMs = perByteMs;
}
