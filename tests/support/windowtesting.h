#pragma once

#include "messageboxes.h"

#include <QList>
#include <QString>
#include <QWidget>

// Boxes that are recorded instead of shown, so that no test waits on one.
struct Box
{
    QString kind; // "error" or "message"
    QString text;
    QString caption;
};

class RecordingBoxes : public MessageBoxes
{
public:
    void showError(QWidget *, const QString &error) override { shown.append({"error", error, {}}); }
    void showMessage(QWidget *, const QString &text, const QString &caption) override
    {
        shown.append({"message", text, caption});
    }
    QList<Box> shown;
};

// The control of the window by its name; a test without it cannot go on.
template<typename T = QWidget>
T *findControl(const QWidget *window, const char *name)
{
    T *widget = window->findChild<T *>(QLatin1String(name));
    if (!widget)
        qFatal("no control %s", name);
    return widget;
}
