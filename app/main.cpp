#include "form1.h"
#include "messageboxes.h"

#include <QApplication>

#ifndef Q_OS_WIN
#include "endsignals.h"
#endif

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    // The title is the caption of the standard error box; it is not made the
    // display name, which X11 would append to every window's caption.
    QApplication::setApplicationName(QStringLiteral("vkd417-demo"));
    QApplication::setApplicationVersion(QStringLiteral(PROJECT_VERSION));
    // Ties the window to its desktop entry (and so its icon) on Wayland.
    QGuiApplication::setDesktopFileName(QStringLiteral("io.github.vkd417demo.Vkd417Demo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/images/icon.png")));

    TForm1 Form1;
    Form1.show();

#ifndef Q_OS_WIN
    // Ended from outside (kill, Ctrl+C in the terminal, the terminal closed),
    // the program leaves the port as closing the window does. exit() also
    // ends a box's own event loop, should one be open.
    EndSignals endSignals;
    if (!endSignals.error().isEmpty())
        qWarning("vkd417-demo: %s", qPrintable(endSignals.error()));
    QObject::connect(&endSignals, &EndSignals::received, &Form1, [&Form1] {
        Form1.close();
        QApplication::exit(0);
    });
#endif
    return application.exec();
}
