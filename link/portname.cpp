#include "portname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#ifndef Q_OS_WIN
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#endif

QString portLinkFolder()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty())
        config = QDir::homePath() + QStringLiteral("/.config");
    return config + QStringLiteral("/vkd417-demo/ports");
}

PortDevice resolvePortName(const QString &name)
{
#ifdef Q_OS_WIN
    return {name, {}, {}};
#else
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
        return {{}, link, QStringLiteral("Cannot look up %1: %2").arg(link, QString::fromLocal8Bit(std::strerror(errno)))};
    return {QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1), {}, {}};
#endif
}
