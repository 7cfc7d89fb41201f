// vkd417-grab WINDOW FILE: saves a picture of an X window (its id, as xdotool
// gives it; 0 for the whole screen) to FILE, for the end-to-end tests'
// artifacts. Run with QT_QPA_PLATFORM=xcb on the server that shows it.
#include <QGuiApplication>
#include <QPixmap>
#include <QScreen>

#include <cstdio>

int main(int argc, char *argv[])
{
    QGuiApplication application(argc, argv);
    const QStringList arguments = QGuiApplication::arguments();
    if (arguments.size() != 3) {
        std::fprintf(stderr, "usage: vkd417-grab WINDOW FILE\n");
        return 2;
    }
    bool ok = false;
    const WId window = arguments[1].toULongLong(&ok, 0);
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!ok || !screen)
        return 2;
    const QPixmap picture = screen->grabWindow(window);
    if (picture.isNull() || !picture.save(arguments[2])) {
        std::fprintf(stderr, "vkd417-grab: cannot save window %s to %s\n", qPrintable(arguments[1]),
                     qPrintable(arguments[2]));
        return 1;
    }
    return 0;
}
