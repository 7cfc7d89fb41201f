#include "messageboxes.h"

#include <QMessageBox>

QString standardErrorText(const QString &error)
{
    if (!error.isEmpty() && error.back().unicode() > u'.')
        return error + QLatin1Char('.');
    return error;
}

void QtMessageBoxes::showError(QWidget *parent, const QString &error)
{
    QMessageBox box(QMessageBox::Critical, applicationTitle, standardErrorText(error),
                    QMessageBox::Ok, parent);
    box.exec();
}

void QtMessageBoxes::showMessage(QWidget *parent, const QString &text, const QString &caption)
{
    QMessageBox box(QMessageBox::NoIcon, caption, text, QMessageBox::Ok, parent);
    box.exec();
}
