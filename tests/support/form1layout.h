#pragma once

// Where every control of the window sits, as the window lays it out
// (window/form1.cpp): the window test checks the window against this table,
// and the end-to-end tests find the controls they click by it.
namespace form1layout {

struct Control
{
    const char *name;
    const char *className;
    const char *parent; // "Form1" is the window itself
    int left, top, width, height; // within the parent
    const char *text; // nullptr: not checked; lists: "a|b|c"
};

inline constexpr Control controls[] = {
    {"Label1", "QLabel", "Form1", 88, -1, 175, 22, "ZELVAR VKD- 417"},
    {"Label3", "QLabel", "Form1", 8, 264, 157, 11, nullptr},
    {"GroupBox1", "QGroupBox", "Form1", 8, 20, 164, 181, "Порт"},
    {"lbBaud", "QLabel", "GroupBox1", 24, 40, 46, 13, "Baud rate"},
    {"lbParity", "QLabel", "GroupBox1", 24, 105, 26, 13, "Parity"},
    {"lbPort", "QLabel", "GroupBox1", 24, 19, 19, 13, "Port"},
    {"ComLed1", "ComLed", "GroupBox1", 16, 129, 25, 17, nullptr},
    {"Label11", "QLabel", "GroupBox1", 24, 61, 42, 13, "Data bits"},
    {"Label4", "QLabel", "GroupBox1", 24, 84, 42, 13, "Stop Bits"},
    {"chbEnabled", "QCheckBox", "GroupBox1", 79, 129, 65, 17, "Открыт"},
    {"btUpdateSetting", "QPushButton", "GroupBox1", 9, 150, 71, 25, "Обновить"},
    {"cbBaud", "QComboBox", "GroupBox1", 80, 38, 65, 21, "300|600|1200|2400|4800|9600|14400|19200"},
    {"cbParity", "QComboBox", "GroupBox1", 80, 101, 65, 21, "None|Odd|Even|Mark|Space"},
    {"cbComm", "QComboBox", "GroupBox1", 80, 17, 65, 21, "COM1|COM2|COM3|COM4|COM5|COM6|COM7|COM8"},
    {"btSetup", "QPushButton", "GroupBox1", 81, 150, 68, 25, "Установить"},
    {"cbDataBits", "QComboBox", "GroupBox1", 80, 59, 65, 21, "5|6|7|8"},
    {"cbStopBits", "QComboBox", "GroupBox1", 80, 80, 65, 21, "1|1.5|2"},
    {"GroupBox2", "QGroupBox", "Form1", 170, 20, 217, 257, "Дисплей"},
    {"lbDemoMode", "QLabel", "GroupBox2", 36, 127, 90, 13, "horizontal scroll"},
    {"Label2", "QLabel", "GroupBox2", 16, 109, 168, 13, "Режим вывода демо-сообщения:"},
    {"edText", "QLineEdit", "GroupBox2", 5, 17, 207, 21, "Добро пожаловать!"},
    {"btSendText", "QPushButton", "GroupBox2", 16, 41, 89, 25, "Текст"},
    {"btRusSet", "QPushButton", "GroupBox2", 112, 151, 89, 25, "Русский"},
    {"btSendCode", "QPushButton", "GroupBox2", 136, 41, 65, 25, "Код симв."},
    {"edCode", "QLineEdit", "GroupBox2", 112, 42, 25, 21, ""},
    {"btABC", "QPushButton", "GroupBox2", 16, 201, 89, 25, "АБВГДЕЁЖЗ"},
    {"btClear", "QPushButton", "GroupBox2", 16, 66, 89, 25, "Очистить"},
    {"btSaveDemo", "QPushButton", "GroupBox2", 16, 151, 89, 25, "Записать демо"},
    {"btViewDemo", "QPushButton", "GroupBox2", 16, 176, 89, 25, "Показать демо"},
    {"udDemoMode", "UpDown", "GroupBox2", 16, 124, 17, 21, nullptr},
    {"btUSset", "QPushButton", "GroupBox2", 112, 176, 89, 25, "Английский"},
    {"btPrinterON", "QPushButton", "GroupBox2", 16, 226, 89, 25, "Принтер вкл."},
    {"btPrinterOFF", "QPushButton", "GroupBox2", 112, 226, 89, 25, "Принтер выкл."},
    {"btCursor", "QPushButton", "GroupBox2", 112, 66, 89, 25, "Курсор"},
    {"btGermany", "QPushButton", "GroupBox2", 112, 201, 89, 25, "Немецкий"},
    {"Panel1", "QFrame", "Form1", 8, 205, 43, 53, nullptr},
    {"Image1", "QLabel", "Panel1", 2, 1, 39, 51, nullptr},
};

} // namespace form1layout

#include <QLatin1StringView>
#include <QRect>
#include <QtGlobal>

namespace form1layout {

inline const Control *findControl(QLatin1StringView name)
{
    for (const Control &c : controls) {
        if (name == QLatin1StringView(c.name))
            return &c;
    }
    return nullptr;
}

// A control's place within the window, its parents' offsets added; for
// the tests that click the real window from outside.
inline QRect placeInWindow(const char *name)
{
    const Control *c = findControl(QLatin1StringView(name));
    if (!c)
        qFatal("no control %s in the layout table", name);
    QRect rect(c->left, c->top, c->width, c->height);
    for (QLatin1StringView parent(c->parent); parent != QLatin1StringView("Form1");) {
        const Control *p = findControl(parent);
        if (!p)
            qFatal("no parent %s in the layout table", parent.data());
        rect.translate(p->left, p->top);
        parent = QLatin1StringView(p->parent);
    }
    return rect;
}

} // namespace form1layout
