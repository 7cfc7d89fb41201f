#include "comport.h"

#include "nativeport.h"
#include "portname.h"

#include <QDeadlineTimer>
#include <QSerialPort>

namespace {

QSerialPort::Parity qtParity(Parity parity)
{
    switch (parity) {
    case Parity::None: return QSerialPort::NoParity;
    case Parity::Odd: return QSerialPort::OddParity;
    case Parity::Even: return QSerialPort::EvenParity;
    case Parity::Mark: return QSerialPort::MarkParity;
    case Parity::Space: return QSerialPort::SpaceParity;
    }
    return QSerialPort::NoParity;
}

QSerialPort::DataBits qtDataBits(DataBits bits)
{
    return static_cast<QSerialPort::DataBits>(dataBitCount(bits));
}

// The two combinations a UART cannot send; refused rather than quietly changed.
QString combinationError(DataBits data, StopBits stop)
{
    if (stop == StopBits::OneAndHalf && data != DataBits::Five)
        return QStringLiteral("1.5 stop bits can only be used with 5 data bits");
    if (stop == StopBits::Two && data == DataBits::Five)
        return QStringLiteral("2 stop bits cannot be used with 5 data bits");
    return {};
}

} // namespace

int dataBitCount(DataBits bits)
{
    return 5 + static_cast<int>(bits);
}

ComPort::ComPort(QObject *parent) : QObject(parent), m_serial(new QSerialPort(this)) { }

ComPort::~ComPort()
{
    close();
}

void ComPort::raise(const QString &what) const
{
    throw ComPortError(QStringLiteral("%1: %2").arg(m_port, what));
}

void ComPort::setBaudRate(qint32 rate)
{
    if (isOpen() && !m_serial->setBaudRate(rate))
        raise(QStringLiteral("Cannot set %1 bit/s: %2").arg(rate).arg(m_serial->errorString()));
    m_baudRate = rate;
}

void ComPort::setPort(const QString &name)
{
    if (name == m_port)
        return;
    const bool wasOpen = isOpen();
    close();
    m_port = name;
    if (wasOpen)
        open();
}

void ComPort::setParity(Parity parity)
{
    if (isOpen() && !m_serial->setParity(qtParity(parity)))
        raise(QStringLiteral("Cannot set the parity: %1").arg(m_serial->errorString()));
    m_parity = parity;
}

void ComPort::setDataBits(DataBits bits)
{
    m_dataBits = bits;
    // On the way from one usable combination to another the pair may pass
    // through one that is not; it is applied (or refused) once it is whole.
    if (isOpen() && combinationError(m_dataBits, m_stopBits).isEmpty())
        applyLineSettings();
}

void ComPort::setStopBits(StopBits bits)
{
    m_stopBits = bits;
    if (isOpen() && combinationError(m_dataBits, m_stopBits).isEmpty())
        applyLineSettings();
}

void ComPort::setFlowControlNone()
{
    if (isOpen())
        applyLineSettings();
}

void ComPort::applyLineSettings()
{
    if (const QString error = combinationError(m_dataBits, m_stopBits); !error.isEmpty())
        raise(error);
    if (!m_serial->setBaudRate(m_baudRate) || !m_serial->setDataBits(qtDataBits(m_dataBits))
        || !m_serial->setParity(qtParity(m_parity))
        || !m_serial->setStopBits(nativeport::stopBits(m_stopBits))
        || !m_serial->setFlowControl(QSerialPort::NoFlowControl)) {
        raise(QStringLiteral("Cannot apply the line settings: %1").arg(m_serial->errorString()));
    }
}

void ComPort::open()
{
    if (isOpen())
        return;
    if (const QString error = combinationError(m_dataBits, m_stopBits); !error.isEmpty())
        raise(error);
    const PortDevice device = resolvePortName(m_port);
    if (device.path.isEmpty())
        raise(device.error);
    const QString &path = device.path;
    if (const QString error = nativeport::checkDevice(path); !error.isEmpty())
        raise(QStringLiteral("Cannot open %1: %2").arg(path, error));

    m_serial->setPortName(path);
    m_serial->setBaudRate(m_baudRate);
    m_serial->setDataBits(qtDataBits(m_dataBits));
    m_serial->setParity(qtParity(m_parity));
    m_serial->setStopBits(nativeport::stopBits(m_stopBits));
    m_serial->setFlowControl(QSerialPort::NoFlowControl);
    if (!m_serial->open(QIODevice::WriteOnly))
        raise(QStringLiteral("Cannot open %1: %2").arg(path, m_serial->errorString()));

    // A port that failed its last step does not stay open behind the
    // operator's back.
    if (const QString error = nativeport::prepareOpened(*m_serial); !error.isEmpty()) {
        m_serial->close();
        raise(error);
    }
    emit openChanged(true);
}

void ComPort::close()
{
    if (!m_serial->isOpen())
        return;
    m_serial->close();
    emit openChanged(false);
}

bool ComPort::isOpen() const
{
    return m_serial->isOpen();
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
    const QString error = nativeport::discard(*m_serial, gone);
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
    const QString error = nativeport::writeAll(*m_serial, bytes, deadline, gone);
    failOnDeviceError(error, gone);
}

void ComPort::setWriteTimeout(int constantMs, int perByteMs)
{
    m_writeTimeoutConstantMs = constantMs;
    m_writeTimeoutPerByteMs = perByteMs;
}
