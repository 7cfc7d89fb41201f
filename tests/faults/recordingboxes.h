#pragma once

#include "messageboxes.h"

#include <QList>
#include <QString>

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
