#include "comled.h"
#include "comport.h"
#include "form1.h"
#include "form1layout.h"
#include "messageboxes.h"
#include "pseudoterminal.h"
#include "updown.h"
#include "windowtesting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>


namespace {

// Records each discard and write, in order, before doing it; can be told to
// fail one write.
class RecordingPort : public ComPort
{
public:
    void clearBuffers() override
    {
        calls.append(QStringLiteral("discard"));
        ComPort::clearBuffers();
    }
    void write(const QByteArray &bytes) override
    {
        calls.append(QStringLiteral("write ") + QString::fromLatin1(bytes.toHex(' ')));
        if (++writes == failingWrite)
            throw ComPortError(QStringLiteral("COM1: Write error: Input/output error"));
        ComPort::write(bytes);
    }
    QStringList calls;
    int writes = 0;
    int failingWrite = 0;
};

} // namespace

class TestForm1 : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void layout_data();
    void layout();
    void tabOrderAndFirstFocus();
    void activationDefaults();
    void activationRunsOnce();
    void demoModeSpinner_data();
    void demoModeSpinner();
    void spinnerStopsAtItsEnds();
    void displayButtonsInertBeforeUpdate();
    void framedButtonsSendTheirFrames_data();
    void framedButtonsSendTheirFrames();
    void eachSendDiscardsTheQueues();
    void clearPressedTwiceWritesTwice();
    void plainBytes_data();
    void plainBytes();
    void callOrder_data();
    void callOrder();
    void alphabetRunStopsAtFailingWrite();
    void updateUncheckedOpensNothing();
    void updateOpensWithChosenSettings();
    void updateTwiceReopens();
    void openFailureShowsOpenError();
    void refusedSettingOnClosedPortFailsOpen();
    void refusedSettingWhileOpenKeepsPortOpen();
    void unopenablePortNameWhileOpenClosesPort();
    void closedWithPortOpenedSetReportsError();
    void listsChangeNothingWithoutUpdate();
    void closingWindowClosesPort();
    void standardErrorText_data();
    void standardErrorText();
    void realBoxes();

private:
    template<typename T = QWidget>
    T *control(const char *name) const { return findControl<T>(m_form.get(), name); }
    void click(const char *name) { QTest::mouseClick(control<QPushButton>(name), Qt::LeftButton); }
    void openPort();
    bool lampLit() const { return control<ComLed>("ComLed1")->isLit(); }
    ComPort *port() const { return m_form->findChild<ComPort *>(QStringLiteral("CommDisp")); }

    std::unique_ptr<PortLinks> m_links;
    std::unique_ptr<PseudoTerminal> m_line;
    std::unique_ptr<TForm1> m_form;
    RecordingPort *m_port = nullptr;
    RecordingBoxes m_boxes;
};

void TestForm1::init()
{
    m_links = std::make_unique<PortLinks>();
    m_line = std::make_unique<PseudoTerminal>();
    QVERIFY(m_line->isValid());
    QVERIFY(m_links->link(QStringLiteral("COM1"), m_line->devicePath()));
    m_boxes.shown.clear();
    m_port = new RecordingPort;
    m_form = std::make_unique<TForm1>(m_port);
    m_form->setMessageBoxes(&m_boxes);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestForm1::cleanup()
{
    m_form.reset();
    m_line.reset();
    m_links.reset();
}

void TestForm1::openPort()
{
    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    QVERIFY(port()->isOpen());
    m_port->calls.clear();
}

void TestForm1::layout_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("parentName");
    QTest::addColumn<QRect>("geometry");
    QTest::addColumn<QString>("text");

    for (const form1layout::Control &r : form1layout::controls) {
        QTest::newRow(r.name) << QString::fromLatin1(r.name) << QString::fromLatin1(r.className)
                              << QString::fromLatin1(r.parent) << QRect(r.left, r.top, r.width, r.height)
                              << (r.text ? QString::fromUtf8(r.text) : QString());
    }
}

void TestForm1::layout()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, parentName);
    QFETCH(QRect, geometry);
    QFETCH(QString, text);

    QWidget *widget = m_form->findChild<QWidget *>(name);
    QVERIFY(widget);
    QCOMPARE(QString::fromLatin1(widget->metaObject()->className()), className);
    QCOMPARE(widget->parentWidget()->objectName(), parentName);
    QVERIFY(widget->isVisible());
    if (auto *label = qobject_cast<QLabel *>(widget); label && !label->text().isEmpty()) {
        // A label keeps its place and shows all of its text, whatever the font.
        QCOMPARE(widget->pos(), geometry.topLeft());
        QCOMPARE(widget->height(), geometry.height());
        QVERIFY(widget->width() >= geometry.width());
        QVERIFY(widget->width() >= widget->sizeHint().width());
    } else {
        QCOMPARE(widget->geometry(), geometry);
    }
    if (text.isNull())
        return;
    QString shown;
    if (auto *label = qobject_cast<QLabel *>(widget))
        shown = label->text();
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        shown = button->text();
    else if (auto *box = qobject_cast<QGroupBox *>(widget))
        shown = box->title();
    else if (auto *edit = qobject_cast<QLineEdit *>(widget))
        shown = edit->text();
    else if (auto *list = qobject_cast<QComboBox *>(widget)) {
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items.append(list->itemText(i));
        shown = items.join(QLatin1Char('|'));
        QVERIFY(!list->isEditable());
    }
    QCOMPARE(shown, text);
}

void TestForm1::tabOrderAndFirstFocus()
{
    const QStringList expected = {
        "chbEnabled", "btUpdateSetting", "cbBaud",     "cbParity",   "cbComm",     "btSetup",
        "cbDataBits", "cbStopBits",      "edText",     "btSendText", "btRusSet",   "btSendCode",
        "edCode",     "btABC",           "btClear",    "btSaveDemo", "btViewDemo", "btUSset",
        "btPrinterON", "btPrinterOFF",   "btCursor",   "btGermany",
    };
    QCOMPARE(m_form->focusWidget(), control("chbEnabled"));

    QStringList order;
    QWidget *w = control("chbEnabled");
    do {
        if (w->focusPolicy() & Qt::TabFocus)
            order.append(w->objectName());
        w = w->nextInFocusChain();
    } while (w != control("chbEnabled"));
    QCOMPARE(order, expected);

    QCOMPARE(m_form->windowTitle(), QStringLiteral("Zelvar VKD-417 Demo"));
    QCOMPARE(m_form->size(), QSize(394, 283));
    QCOMPARE(m_form->minimumSize(), m_form->maximumSize());
    QVERIFY(!(m_form->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(!m_form->windowIcon().isNull());
    QCOMPARE(control<QLabel>("Image1")->pixmap().size(), QSize(39, 51));

    QCOMPARE(m_form->font().family(), QStringLiteral("MS Sans Serif"));
    QCOMPARE(m_form->font().pixelSize(), 11);
    const QFont title = control("Label1")->font();
    QCOMPARE(title.family(), QStringLiteral("Arial"));
    QCOMPARE(title.pixelSize(), 19);
    QVERIFY(title.bold());
    QCOMPARE(control("Label1")->palette().color(QPalette::WindowText), QColor(0, 0, 0x80));
    const QFont credit = control("Label3")->font();
    QCOMPARE(credit.family(), QStringLiteral("Tahoma"));
    QCOMPARE(credit.pixelSize(), 9);
    QCOMPARE(control("Label3")->palette().color(QPalette::WindowText), QColor(0, 0, 0x80));
    QVERIFY(control("lbDemoMode")->font().bold());
    QCOMPARE(control("lbDemoMode")->font().pixelSize(), 11);
}

void TestForm1::activationDefaults()
{
    QCOMPARE(control<QComboBox>("cbComm")->currentText(), QStringLiteral("COM1"));
    QCOMPARE(control<QComboBox>("cbBaud")->currentText(), QStringLiteral("9600"));
    QCOMPARE(control<QComboBox>("cbParity")->currentText(), QStringLiteral("None"));
    QCOMPARE(control<QComboBox>("cbDataBits")->currentText(), QStringLiteral("8"));
    QCOMPARE(control<QComboBox>("cbStopBits")->currentText(), QStringLiteral("1"));
    QVERIFY(!control<QCheckBox>("chbEnabled")->isChecked());
    QCOMPARE(control<QLineEdit>("edText")->text(), QStringLiteral("Добро пожаловать!"));
    QVERIFY(control<QLineEdit>("edCode")->text().isEmpty());
    QCOMPARE(control<UpDown>("udDemoMode")->position(), 1);
    QCOMPARE(control<QLabel>("lbDemoMode")->text(), QStringLiteral("horizontal scroll"));
    QVERIFY(!lampLit());
    QVERIFY(!m_form->serialLink().portOpened());
    QVERIFY(!port()->isOpen());
}

void TestForm1::activationRunsOnce()
{
    control<QComboBox>("cbBaud")->setCurrentIndex(0);
    QEvent activate(QEvent::WindowActivate);
    QApplication::sendEvent(m_form.get(), &activate);
    m_form->hide();
    m_form->show();
    QCOMPARE(control<QComboBox>("cbBaud")->currentText(), QStringLiteral("300"));
}

void TestForm1::demoModeSpinner_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QString>("name");
    const char *names[] = {"horizontal scroll", "vertical scroll", "blinking", "mode1+mode2",
                           "mode1+mode3", "mode2+mode3", "mode1+mode2+mode3"};
    for (int m = 2; m <= 7; ++m)
        QTest::addRow("up to %d", m) << m << QString::fromLatin1(names[m - 1]);
}

void TestForm1::demoModeSpinner()
{
    QFETCH(int, position);
    QFETCH(QString, name);
    auto *spinner = control<UpDown>("udDemoMode");
    for (int m = 1; m < position; ++m)
        QTest::mouseClick(spinner->upButton(), Qt::LeftButton);
    QCOMPARE(spinner->position(), position);
    QCOMPARE(control<QLabel>("lbDemoMode")->text(), name);
    QVERIFY(control("lbDemoMode")->width() >= control("lbDemoMode")->sizeHint().width());
}

void TestForm1::spinnerStopsAtItsEnds()
{
    auto *spinner = control<UpDown>("udDemoMode");
    auto *label = control<QLabel>("lbDemoMode");
    QVERIFY(!(spinner->focusPolicy() & Qt::TabFocus));
    // At 1 a click down moves nothing, so the handler does not run at all.
    label->setText(QStringLiteral("untouched"));
    QTest::mouseClick(spinner->downButton(), Qt::LeftButton);
    QCOMPARE(spinner->position(), 1);
    QCOMPARE(label->text(), QStringLiteral("untouched"));

    for (int i = 0; i < 10; ++i)
        QTest::mouseClick(spinner->upButton(), Qt::LeftButton);
    QCOMPARE(spinner->position(), 7);
    QCOMPARE(label->text(), QStringLiteral("mode1+mode2+mode3"));
    QTest::mouseClick(spinner->downButton(), Qt::LeftButton);
    QCOMPARE(label->text(), QStringLiteral("mode2+mode3"));
}

void TestForm1::displayButtonsInertBeforeUpdate()
{
    control<QLineEdit>("edCode")->setText(QStringLiteral("65"));
    for (const char *name : {"btClear", "btCursor", "btRusSet", "btUSset", "btGermany", "btSaveDemo",
                             "btViewDemo", "btPrinterON", "btPrinterOFF", "btSetup", "btSendText",
                             "btSendCode", "btABC"})
        click(name);
    QCOMPARE(m_port->calls, QStringList());
    QCOMPARE(m_line->readAvailable(), QByteArray());
    QVERIFY(m_boxes.shown.isEmpty());
}

void TestForm1::framedButtonsSendTheirFrames_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<int>("demoMode");
    QTest::addColumn<QString>("baud"); // cbBaud entry before the click
    QTest::addColumn<QByteArray>("frame");

    QTest::newRow("Очистить") << "btClear" << 1 << "" << QByteArray::fromHex("040143315817");
    QTest::newRow("Курсор") << "btCursor" << 1 << "" << QByteArray::fromHex("0401503117");
    QTest::newRow("Русский") << "btRusSet" << 1 << "" << QByteArray::fromHex("0401493A17");
    QTest::newRow("Английский") << "btUSset" << 1 << "" << QByteArray::fromHex("0401493017");
    QTest::newRow("Немецкий") << "btGermany" << 1 << "" << QByteArray::fromHex("0401493217");
    QTest::newRow("Записать демо") << "btSaveDemo" << 1 << "" << QByteArray::fromHex("0401533217");
    QTest::newRow("Принтер вкл.") << "btPrinterON" << 1 << "" << QByteArray::fromHex("04011B4717");
    QTest::newRow("Принтер выкл.") << "btPrinterOFF" << 1 << "" << QByteArray::fromHex("04011B5317");
    for (int m = 1; m <= 7; ++m)
        QTest::addRow("Показать демо, mode %d", m)
            << "btViewDemo" << m << "" << QByteArray::fromHex("04014432") + char('0' + m) + '\x17';
    const char *codes = "654321111";
    const char *rates[] = {"300", "600", "1200", "2400", "4800", "9600", "14400", "19200"};
    for (int i = 0; i < 8; ++i)
        QTest::addRow("Установить at %s", rates[i])
            << "btSetup" << 1 << rates[i] << QByteArray("\x04\x01" "B") + codes[i] + "N\x17";
}

void TestForm1::framedButtonsSendTheirFrames()
{
    QFETCH(QString, button);
    QFETCH(int, demoMode);
    QFETCH(QString, baud);
    QFETCH(QByteArray, frame);

    openPort();
    for (int m = 1; m < demoMode; ++m)
        QTest::mouseClick(control<UpDown>("udDemoMode")->upButton(), Qt::LeftButton);
    if (!baud.isEmpty())
        control<QComboBox>("cbBaud")->setCurrentText(baud);
    click(button.toLatin1().constData());
    QCOMPARE(m_line->readExactly(frame.size()).toHex(' '), frame.toHex(' '));
    QCOMPARE(m_line->readAvailable(), QByteArray());
    QCOMPARE(m_port->calls, QStringList({"discard", "write " + QString::fromLatin1(frame.toHex(' '))}));
    // Setting the display's rate leaves the port's own as it was.
    QCOMPARE(m_line->settings().outputSpeed, 9600u);
    QVERIFY(m_boxes.shown.isEmpty());
}

void TestForm1::eachSendDiscardsTheQueues()
{
    openPort();
    // Bytes waiting in the port's input queue are dropped by the discard.
    QVERIFY(m_line->sendToDevice("unread input"));
    QTRY_VERIFY(m_line->pendingInput() > 0);
    click("btCursor");
    QCOMPARE(m_line->pendingInput(), 0);
    QCOMPARE(m_line->readExactly(5), QByteArray::fromHex("0401503117"));
}

void TestForm1::clearPressedTwiceWritesTwice()
{
    openPort();
    click("btClear");
    click("btClear");
    QCOMPARE(m_line->readExactly(12), QByteArray::fromHex("040143315817040143315817"));
    QCOMPARE(m_port->calls, QStringList({"discard", "write 04 01 43 31 58 17", "discard",
                                         "write 04 01 43 31 58 17"}));
}

void TestForm1::plainBytes_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("field"); // text of edText or edCode
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("greeting") << "btSendText" << "Добро пожаловать!"
                              << QByteArray::fromHex("84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC21");
    QTest::newRow("Ё л к а") << "btSendText" << "Ёлка" << QByteArray::fromHex("A8ABAAA0");
    QTest::newRow("ASCII") << "btSendText" << "Hello, 42!" << QByteArray("Hello, 42!");
    QTest::newRow("empty text") << "btSendText" << "" << QByteArray();
    QTest::newRow("outside Windows-1251") << "btSendText" << "a中😀b" << QByteArray("a??b");
    QTest::newRow("code 65") << "btSendCode" << "65" << QByteArray("A");
    QTest::newRow("code 321") << "btSendCode" << "321" << QByteArray("A");
    QTest::newRow("code -1") << "btSendCode" << "-1" << QByteArray("\xFF");
    QTest::newRow("code $7F") << "btSendCode" << "$7F" << QByteArray("\x7F");
    QTest::newRow("code 0x7f") << "btSendCode" << "0x7f" << QByteArray("\x7F");
    QTest::newRow("code space 66") << "btSendCode" << " 66" << QByteArray("B");
    QTest::newRow("code 256") << "btSendCode" << "256" << QByteArray();
    QTest::newRow("code 0") << "btSendCode" << "0" << QByteArray();
    QTest::newRow("code 7A") << "btSendCode" << "7A" << QByteArray();
    QTest::newRow("code 65 space") << "btSendCode" << "65 " << QByteArray();
    QTest::newRow("code tab 66") << "btSendCode" << "\t66" << QByteArray();
    QTest::newRow("code empty") << "btSendCode" << "" << QByteArray();
    QTest::newRow("alphabet") << "btABC" << "" << QByteArray::fromHex(
        "808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9FA0A1A2A3A4A5A6A7");
}

void TestForm1::plainBytes()
{
    QFETCH(QString, button);
    QFETCH(QString, field);
    QFETCH(QByteArray, bytes);

    openPort();
    control<QLineEdit>(button == "btSendText" ? "edText" : "edCode")->setText(field);
    click(button.toLatin1().constData());
    QCOMPARE(m_line->readExactly(bytes.size()).toHex(' '), bytes.toHex(' '));
    QCOMPARE(m_line->readAvailable(), QByteArray());
    QVERIFY(m_boxes.shown.isEmpty());
}

void TestForm1::callOrder_data()
{
    QTest::addColumn<QString>("button");
    QTest::addColumn<QString>("field");
    QTest::addColumn<QStringList>("calls");

    QStringList alphabet = {"discard"};
    for (int b = 0x80; b <= 0xA7; ++b)
        alphabet.append(QStringLiteral("write %1").arg(b, 2, 16));
    QTest::newRow("alphabet: one discard, forty writes") << "btABC" << "" << alphabet;
    QTest::newRow("code: no discard") << "btSendCode" << "65" << QStringList{"write 41"};
    QTest::newRow("refused code: nothing") << "btSendCode" << "x" << QStringList{};
    QTest::newRow("zero code: nothing") << "btSendCode" << "256" << QStringList{};
    QTest::newRow("text: discard, one write") << "btSendText" << "Да" << QStringList{"discard", "write 84 a0"};
    QTest::newRow("empty text: discard only") << "btSendText" << "" << QStringList{"discard", "write "};
}

void TestForm1::callOrder()
{
    QFETCH(QString, button);
    QFETCH(QString, field);
    QFETCH(QStringList, calls);

    openPort();
    control<QLineEdit>(button == "btSendText" ? "edText" : "edCode")->setText(field);
    click(button.toLatin1().constData());
    QCOMPARE(m_port->calls, calls);
}

void TestForm1::alphabetRunStopsAtFailingWrite()
{
    openPort();
    m_port->failingWrite = 5;
    click("btABC");
    QCOMPARE(m_port->calls.size(), 1 + 5);
    QCOMPARE(m_line->readAvailable(), QByteArray::fromHex("80818283"));
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("COM1: Write error: Input/output error"));
    QVERIFY(m_form->serialLink().portOpened());
}

void TestForm1::updateUncheckedOpensNothing()
{
    click("btUpdateSetting");
    QVERIFY(!port()->isOpen());
    QVERIFY(!lampLit());
    QVERIFY(m_boxes.shown.isEmpty());
    QVERIFY(!m_form->serialLink().portOpened());
}

void TestForm1::updateOpensWithChosenSettings()
{
    control<QComboBox>("cbBaud")->setCurrentText(QStringLiteral("19200"));
    openPort();
    QVERIFY(lampLit());
    QVERIFY(m_form->serialLink().portOpened());
    QCOMPARE(m_line->settings().outputSpeed, 19200u);
    QCOMPARE(port()->baudRate(), 19200);
    QCOMPARE(port()->dataBits(), DataBits::Eight);
    QCOMPARE(port()->parity(), Parity::None);
    QCOMPARE(port()->stopBits(), StopBits::One);
}

void TestForm1::updateTwiceReopens()
{
    openPort();
    control<QComboBox>("cbBaud")->setCurrentText(QStringLiteral("4800"));
    control<QComboBox>("cbParity")->setCurrentText(QStringLiteral("Odd"));
    click("btUpdateSetting");
    QVERIFY(lampLit());
    QCOMPARE(m_line->settings().outputSpeed, 4800u);
    QCOMPARE(port()->parity(), Parity::Odd);
    click("btCursor");
    QCOMPARE(m_line->readExactly(5), QByteArray::fromHex("0401503117"));
}

void TestForm1::openFailureShowsOpenError()
{
    control<QComboBox>("cbComm")->setCurrentText(QStringLiteral("COM2")); // linked to nothing
    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("message"));
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("Error opening port !"));
    QCOMPARE(m_boxes.shown[0].caption, QStringLiteral("Open Error"));
    QVERIFY(!control<QCheckBox>("chbEnabled")->isChecked());
    QVERIFY(!lampLit());
    QVERIFY(!m_form->serialLink().portOpened());
    click("btClear");
    QCOMPARE(m_port->calls, QStringList());

    // The next Update with a good port works.
    control<QComboBox>("cbComm")->setCurrentText(QStringLiteral("COM1"));
    openPort();
    QVERIFY(lampLit());
}

void TestForm1::refusedSettingOnClosedPortFailsOpen()
{
    control<QComboBox>("cbStopBits")->setCurrentText(QStringLiteral("1.5")); // with 8 data bits
    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("Error opening port !"));
    QVERIFY(!port()->isOpen());
    QVERIFY(!control<QCheckBox>("chbEnabled")->isChecked());
}

void TestForm1::refusedSettingWhileOpenKeepsPortOpen()
{
    openPort();
    control<QComboBox>("cbStopBits")->setCurrentText(QStringLiteral("2"));
    control<QComboBox>("cbDataBits")->setCurrentText(QStringLiteral("5"));
    click("btUpdateSetting");
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("COM1: 2 stop bits cannot be used with 5 data bits"));
    QVERIFY(control<QCheckBox>("chbEnabled")->isChecked());
    QVERIFY(port()->isOpen());
    QVERIFY(lampLit());
    QVERIFY(m_form->serialLink().portOpened());
    click("btCursor");
    QCOMPARE(m_line->readExactly(5), QByteArray::fromHex("0401503117"));
}

void TestForm1::unopenablePortNameWhileOpenClosesPort()
{
    openPort();
    control<QComboBox>("cbComm")->setCurrentText(QStringLiteral("COM2"));
    click("btUpdateSetting");
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
    QVERIFY(m_boxes.shown[0].text.startsWith(QStringLiteral("COM2: Cannot open ")));
    QVERIFY(control<QCheckBox>("chbEnabled")->isChecked());
    QVERIFY(m_form->serialLink().portOpened());
    QVERIFY(!port()->isOpen());
    QVERIFY(!lampLit());
}

void TestForm1::closedWithPortOpenedSetReportsError()
{
    openPort();
    control<QCheckBox>("chbEnabled")->setChecked(false);
    click("btUpdateSetting");
    QVERIFY(!port()->isOpen());
    QVERIFY(!lampLit());
    QVERIFY(m_form->serialLink().portOpened());
    m_boxes.shown.clear();

    click("btClear");
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("COM1: The port is not open"));
    QCOMPARE(m_line->readAvailable(), QByteArray());
}

void TestForm1::listsChangeNothingWithoutUpdate()
{
    openPort();
    control<QComboBox>("cbBaud")->setCurrentText(QStringLiteral("300"));
    control<QComboBox>("cbStopBits")->setCurrentText(QStringLiteral("2"));
    QCOMPARE(m_line->settings().outputSpeed, 9600u);
    QCOMPARE(port()->stopBits(), StopBits::One);
}

void TestForm1::closingWindowClosesPort()
{
    openPort();
    m_form->close();
    QVERIFY(!port()->isOpen());
}

void TestForm1::standardErrorText_data()
{
    QTest::addColumn<QString>("error");
    QTest::addColumn<QString>("shown");
    QTest::newRow("letter") << "Write timed out" << "Write timed out.";
    QTest::newRow("closing bracket") << "Cannot open (COM1)" << "Cannot open (COM1)";
    QTest::newRow("full stop") << "Done." << "Done.";
    QTest::newRow("comma, below the full stop") << "a," << "a,";
    QTest::newRow("slash, just above it") << "a/" << "a/.";
    QTest::newRow("Cyrillic") << "Ошибка" << "Ошибка.";
    QTest::newRow("empty") << "" << "";
}

void TestForm1::standardErrorText()
{
    QFETCH(QString, error);
    QFETCH(QString, shown);
    QCOMPARE(::standardErrorText(error), shown);
}

void TestForm1::realBoxes()
{
    QtMessageBoxes boxes;
    struct Seen { QString title, text; QMessageBox::Icon icon; QStringList buttons; };
    QList<Seen> seen;
    const auto answer = [&seen] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        QStringList buttons;
        for (QAbstractButton *b : box->buttons())
            buttons.append(QString::number(box->standardButton(b)));
        seen.append({box->windowTitle(), box->text(), box->icon(), buttons});
        box->accept();
    };
    QTimer::singleShot(0, this, answer);
    boxes.showError(m_form.get(), QStringLiteral("COM1: Write timed out"));
    QTimer::singleShot(0, this, answer);
    boxes.showMessage(m_form.get(), QStringLiteral("Error opening port !"), QStringLiteral("Open Error"));

    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[0].title, applicationTitle);
    QCOMPARE(seen[0].text, QStringLiteral("COM1: Write timed out."));
    QCOMPARE(seen[0].icon, QMessageBox::Critical);
    QCOMPARE(seen[0].buttons, QStringList{QString::number(QMessageBox::Ok)});
    QCOMPARE(seen[1].title, QStringLiteral("Open Error"));
    QCOMPARE(seen[1].text, QStringLiteral("Error opening port !"));
    QCOMPARE(seen[1].icon, QMessageBox::NoIcon);
    QCOMPARE(seen[1].buttons, QStringList{QString::number(QMessageBox::Ok)});
}

QTEST_MAIN(TestForm1)
#include "tst_form1.moc"
