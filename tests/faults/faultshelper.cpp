// A second program beside the fault tests, for the faults that take another
// process:
//
//   faults_helper hold COMn
//       opens COMn with the program's own serial component, as a second copy
//       of the program would; says "open" (or "failed: <why>") on its output
//       and keeps the port until its input closes.
//   faults_helper window COMn
//       the program's window, offscreen, with boxes recorded instead of shown:
//       chooses COMn, ticks "Открыт", presses "Обновить", then "Очистить", and
//       says on its output what the operator would have seen (the boxes,
//       the check box, the lamp and what it tells on hovering).
#include "comled.h"
#include "comport.h"
#include "form1.h"
#include "portname.h"
#include "windowtesting.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>

#include <cstdio>
#include <iostream>
#include <string>

namespace {

void say(const QString &line)
{
    std::fputs(qPrintable(line + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

int hold(const QString &name)
{
    ComPort port;
    port.setPort(name);
    try {
        port.open();
    } catch (const ComPortError &error) {
        say(QStringLiteral("failed: ") + QString::fromUtf8(error.what()));
        return 0;
    }
    say(QStringLiteral("open"));
    std::string line;
    std::getline(std::cin, line);
    port.close();
    return 0;
}

int window(const QString &name)
{
    RecordingBoxes boxes;
    TForm1 form;
    form.setMessageBoxes(&boxes);
    form.show();
    say(QStringLiteral("device ") + resolvePortName(name).path);
    form.findChild<QComboBox *>(QStringLiteral("cbComm"))->setCurrentText(name);
    form.findChild<QCheckBox *>(QStringLiteral("chbEnabled"))->setChecked(true);
    form.findChild<QPushButton *>(QStringLiteral("btUpdateSetting"))->click();
    form.findChild<QPushButton *>(QStringLiteral("btClear"))->click();
    for (const Box &box : boxes.shown)
        say(QStringLiteral("box %1|%2|%3").arg(box.kind, box.caption, box.text));
    say(QStringLiteral("checked %1").arg(form.findChild<QCheckBox *>(QStringLiteral("chbEnabled"))->isChecked()));
    const ComLed *lamp = form.findChild<ComLed *>(QStringLiteral("ComLed1"));
    say(QStringLiteral("lamp %1: %2").arg(lamp->isLit()).arg(lamp->toolTip()));
    form.close();
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    const QStringList args = application.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("hold"))
        return hold(args[2]);
    if (args.size() == 3 && args[1] == QLatin1String("window"))
        return window(args[2]);
    std::fputs("usage: faults_helper hold|window COMn\n", stderr);
    return 2;
}
