#include "portname.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

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
    return {name, {}};
#else
    static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]*)$"));
    const auto match = comName.match(name);
    if (!match.hasMatch())
        return {};

    const QString link = portLinkFolder() + QLatin1Char('/') + name;
    const QFileInfo info(link);
    if (info.isSymLink()) {
        // A relative target is relative to the link's folder.
        const QString target = QFile::symLinkTarget(link);
        return {target.isEmpty() ? link : target, link};
    }
    return {QStringLiteral("/dev/ttyS%1").arg(match.captured(1).toInt() - 1), {}};
#endif
}
