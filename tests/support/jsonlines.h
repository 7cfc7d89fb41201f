#pragma once

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>

// The objects of a log that holds one JSON object a line; none if it cannot
// be read yet.
inline QList<QJsonObject> readJsonLines(const QString &path)
{
    QList<QJsonObject> out;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return out;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.isEmpty())
            out << QJsonDocument::fromJson(line).object();
    }
    return out;
}
