#include "nativeport.h"

int dataBitCount(DataBits bits)
{
    return 5 + static_cast<int>(bits);
}

QString describeDataBits(DataBits bits)
{
    return QStringLiteral("%1 data bits").arg(dataBitCount(bits));
}

QString describeParity(Parity parity)
{
    switch (parity) {
    case Parity::None: return QStringLiteral("no parity");
    case Parity::Odd: return QStringLiteral("odd parity");
    case Parity::Even: return QStringLiteral("even parity");
    case Parity::Mark: return QStringLiteral("mark parity");
    case Parity::Space: return QStringLiteral("space parity");
    }
    return {};
}

QString describeStopBits(StopBits bits)
{
    switch (bits) {
    case StopBits::One: return QStringLiteral("1 stop bit");
    case StopBits::OneAndHalf: return QStringLiteral("1.5 stop bits");
    case StopBits::Two: return QStringLiteral("2 stop bits");
    }
    return {};
}

QString describeBaudRate(qint32 rate)
{
    return QStringLiteral("%1 bit/s").arg(rate);
}

QString cannotSend(const QString &device, const QString &setting)
{
    return QStringLiteral("%1 cannot send %2").arg(device, setting);
}
