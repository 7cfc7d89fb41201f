#pragma once

#include <QString>

class QWidget;

// The application title: caption of the standard error box.
inline const QString applicationTitle = QStringLiteral("ZELVAR VKD-417");

// The text of the standard error box: the error's text, with a full stop
// added unless it ends in a character up to "." (so "(COM1)" gets none).
QString standardErrorText(const QString &error);

// Every modal box the window shows goes through here, so that tests can
// stand in for it and never wait on a box.
class MessageBoxes
{
public:
    virtual ~MessageBoxes() = default;
    // The standard error box: error icon, the application title, OK.
    virtual void showError(QWidget *parent, const QString &error) = 0;
    // A plain box with an OK button and no icon.
    virtual void showMessage(QWidget *parent, const QString &text, const QString &caption) = 0;
};

class QtMessageBoxes : public MessageBoxes
{
public:
    void showError(QWidget *parent, const QString &error) override;
    void showMessage(QWidget *parent, const QString &text, const QString &caption) override;
};
