// The start-up baseline: a bare Qt 6 program that shows one empty window of
// the size of the demo's (394 x 283) and waits.
//
// With the argument "groupbox" the window holds one titled group box, the
// least that makes Qt do what any window with text and frames does at its
// first paint and a bare window never does: start the font stack
// (fontconfig, FreeType, HarfBuzz) and load the image-format plug-ins (the
// Fusion style draws a group box's frame from a PNG). scripts/bench shows it
// as a second, informative reference.
#include <QApplication>
#include <QGroupBox>
#include <QWidget>

#include <cstring>

int main(int argc, char *argv[])
{
    QApplication application(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("bare window"));
    window.setFixedSize(394, 283);
    if (argc > 1 && std::strcmp(argv[1], "groupbox") == 0) {
        auto *box = new QGroupBox(QStringLiteral("Порт"), &window);
        box->setGeometry(8, 20, 164, 181);
    }
    window.show();
    return application.exec();
}
