#include "form1.h"
#include "messageboxes.h"

#include <QApplication>

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
    return application.exec();
}
