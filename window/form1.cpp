#include "form1.h"

#include "charcode.h"
#include "codepage.h"
#include "comled.h"
#include "commands.h"
#include "comport.h"
#include "messageboxes.h"
#include "portname.h"
#include "updown.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include <algorithm>
#include <limits>

namespace {

const QColor navy(0x00, 0x00, 0x80);

template<typename Control>
Control *make(QWidget *parent, const char *name, int left, int top, int width, int height)
{
    auto *control = new Control(parent);
    control->setObjectName(QLatin1String(name));
    control->setGeometry(left, top, width, height);
    return control;
}

template<typename Control>
Control *makeText(QWidget *parent, const char *name, int left, int top, int width, int height,
                  const QString &text)
{
    auto *control = make<Control>(parent, name, left, top, width, height);
    control->setText(text);
    return control;
}

QComboBox *makeList(QWidget *parent, const char *name, int left, int top, int width, int height,
                    const QStringList &items)
{
    auto *list = make<QComboBox>(parent, name, left, top, width, height);
    list->addItems(items);
    list->setCurrentIndex(-1); // the first activation chooses
    return list;
}

// Every caption of a button keeps this much air from each edge of the
// button, as in the window's design (the narrowest, "Код симв.", has 4 px).
constexpr int captionClearance = 4;
// The window's text never gets smaller than this to make its captions fit.
constexpr int smallestPixelSize = 9;

QFont pixelFont(const QString &family, int pixels, bool bold = false)
{
    // Where the family is missing, a font of similar width keeps the texts
    // inside their places better than the system's default.
    QFont font;
    font.setFamilies({family, QStringLiteral("Liberation Sans"), QStringLiteral("Arial")});
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

void setTextColor(QWidget *widget, const QColor &color)
{
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    widget->setPalette(palette);
}

// Labels keep their place and grow to show all of their text, as they would
// with the font they were laid out in.
void fitToText(QLabel *label)
{
    const int width = label->sizeHint().width();
    if (width > label->width())
        label->resize(width, label->height());
}

QByteArray toByteArray(const display::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

void sendCommand(SerialLink &link, display::Command command)
{
    link.send(toByteArray(display::frameFor(command)));
}

} // namespace

TForm1::TForm1(ComPort *port, QWidget *parent)
    : QWidget(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      CommDisp(port ? port : new ComPort),
      m_link(*CommDisp),
      m_ownBoxes(std::make_unique<QtMessageBoxes>()),
      m_boxes(m_ownBoxes.get())
{
    setObjectName(QStringLiteral("Form1"));
    CommDisp->setParent(this);
    CommDisp->setObjectName(QStringLiteral("CommDisp"));
    setWindowTitle(QStringLiteral("Zelvar VKD-417 Demo"));
    setWindowIcon(QIcon(QStringLiteral(":/images/icon.png")));
    setFont(pixelFont(QStringLiteral("MS Sans Serif"), 11));
    setBackgroundRole(QPalette::Button);
    setAutoFillBackground(true);
    setFixedSize(394, 283);
    move(295, 122);

    createControls();
    connectHandlers();
    chbEnabled->setFocus();
}

TForm1::~TForm1()
{
    // The port, a child, is destroyed (and closed) after this window's own
    // part: it must not tell a window that is no longer there.
    disconnect(CommDisp, nullptr, this, nullptr);
}

void TForm1::setMessageBoxes(MessageBoxes *boxes)
{
    m_boxes = boxes;
}

void TForm1::createControls()
{
    Label1 = makeText<QLabel>(this, "Label1", 88, -1, 175, 22, QStringLiteral("ZELVAR VKD- 417"));
    Label1->setFont(pixelFont(QStringLiteral("Arial"), 19, true));
    setTextColor(Label1, navy);
    Label3 = makeText<QLabel>(this, "Label3", 8, 264, 157, 11, QStringLiteral("Character display demo"));
    Label3->setFont(pixelFont(QStringLiteral("Tahoma"), 9));
    setTextColor(Label3, navy);

    GroupBox1 = make<QGroupBox>(this, "GroupBox1", 8, 20, 164, 181);
    GroupBox1->setTitle(QStringLiteral("Порт"));
    lbBaud = makeText<QLabel>(GroupBox1, "lbBaud", 24, 40, 46, 13, QStringLiteral("Baud rate"));
    lbParity = makeText<QLabel>(GroupBox1, "lbParity", 24, 105, 26, 13, QStringLiteral("Parity"));
    lbPort = makeText<QLabel>(GroupBox1, "lbPort", 24, 19, 19, 13, QStringLiteral("Port"));
    ComLed1 = make<ComLed>(GroupBox1, "ComLed1", 16, 129, 25, 17);
    ComLed1->setComPort(CommDisp);
    Label11 = makeText<QLabel>(GroupBox1, "Label11", 24, 61, 42, 13, QStringLiteral("Data bits"));
    Label4 = makeText<QLabel>(GroupBox1, "Label4", 24, 84, 42, 13, QStringLiteral("Stop Bits"));
    chbEnabled = make<QCheckBox>(GroupBox1, "chbEnabled", 79, 129, 65, 17);
    chbEnabled->setText(QStringLiteral("Открыт"));
    btUpdateSetting = makeText<QPushButton>(GroupBox1, "btUpdateSetting", 9, 150, 71, 25, QStringLiteral("Обновить"));
    cbBaud = makeList(GroupBox1, "cbBaud", 80, 38, 65, 21,
                      {"300", "600", "1200", "2400", "4800", "9600", "14400", "19200"});
    cbParity = makeList(GroupBox1, "cbParity", 80, 101, 65, 21, {"None", "Odd", "Even", "Mark", "Space"});
    cbComm = makeList(GroupBox1, "cbComm", 80, 17, 65, 21,
                      {"COM1", "COM2", "COM3", "COM4", "COM5", "COM6", "COM7", "COM8"});
    btSetup = makeText<QPushButton>(GroupBox1, "btSetup", 81, 150, 68, 25, QStringLiteral("Установить"));
    cbDataBits = makeList(GroupBox1, "cbDataBits", 80, 59, 65, 21, {"5", "6", "7", "8"});
    cbStopBits = makeList(GroupBox1, "cbStopBits", 80, 80, 65, 21, {"1", "1.5", "2"});

    GroupBox2 = make<QGroupBox>(this, "GroupBox2", 170, 20, 217, 257);
    GroupBox2->setTitle(QStringLiteral("Дисплей"));
    lbDemoMode = makeText<QLabel>(GroupBox2, "lbDemoMode", 36, 127, 90, 13, QStringLiteral("horizontal scroll"));
    // Bold only: the rest follows the window's font.
    QFont bold;
    bold.setBold(true);
    lbDemoMode->setFont(bold);
    setTextColor(lbDemoMode, Qt::black);
    Label2 = makeText<QLabel>(GroupBox2, "Label2", 16, 109, 168, 13, QStringLiteral("Режим вывода демо-сообщения:"));
    edText = make<QLineEdit>(GroupBox2, "edText", 5, 17, 207, 21);
    // No limit of its own (a QLineEdit cuts at 32767 characters by default):
    // what is typed or pasted is what is sent.
    edText->setMaxLength(std::numeric_limits<int>::max());
    edText->setText(QStringLiteral("Добро пожаловать!"));
    btSendText = makeText<QPushButton>(GroupBox2, "btSendText", 16, 41, 89, 25, QStringLiteral("Текст"));
    btRusSet = makeText<QPushButton>(GroupBox2, "btRusSet", 112, 151, 89, 25, QStringLiteral("Русский"));
    btSendCode = makeText<QPushButton>(GroupBox2, "btSendCode", 136, 41, 65, 25, QStringLiteral("Код симв."));
    edCode = make<QLineEdit>(GroupBox2, "edCode", 112, 42, 25, 21);
    btABC = makeText<QPushButton>(GroupBox2, "btABC", 16, 201, 89, 25, QStringLiteral("АБВГДЕЁЖЗ"));
    btClear = makeText<QPushButton>(GroupBox2, "btClear", 16, 66, 89, 25, QStringLiteral("Очистить"));
    btSaveDemo = makeText<QPushButton>(GroupBox2, "btSaveDemo", 16, 151, 89, 25, QStringLiteral("Записать демо"));
    btViewDemo = makeText<QPushButton>(GroupBox2, "btViewDemo", 16, 176, 89, 25, QStringLiteral("Показать демо"));
    udDemoMode = make<UpDown>(GroupBox2, "udDemoMode", 16, 124, 17, 21);
    udDemoMode->setRange(display::minDemoMode, display::maxDemoMode);
    udDemoMode->setPosition(1);
    btUSset = makeText<QPushButton>(GroupBox2, "btUSset", 112, 176, 89, 25, QStringLiteral("Английский"));
    btPrinterON = makeText<QPushButton>(GroupBox2, "btPrinterON", 16, 226, 89, 25, QStringLiteral("Принтер вкл."));
    btPrinterOFF = makeText<QPushButton>(GroupBox2, "btPrinterOFF", 112, 226, 89, 25, QStringLiteral("Принтер выкл."));
    btCursor = makeText<QPushButton>(GroupBox2, "btCursor", 112, 66, 89, 25, QStringLiteral("Курсор"));
    btGermany = makeText<QPushButton>(GroupBox2, "btGermany", 112, 201, 89, 25, QStringLiteral("Немецкий"));

    Panel1 = make<QFrame>(this, "Panel1", 8, 205, 43, 53);
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    Image1 = make<QLabel>(Panel1, "Image1", 2, 1, 39, 51);
    Image1->setPixmap(QPixmap(QStringLiteral(":/images/display.png")));

    fitCaptions();
    for (QLabel *label : {Label1, Label3, lbBaud, lbParity, lbPort, Label11, Label4, lbDemoMode, Label2})
        fitToText(label);

    const QList<QWidget *> tabOrder = {
        chbEnabled, btUpdateSetting, cbBaud,  cbParity,   cbComm,     btSetup,     cbDataBits, cbStopBits,
        edText,     btSendText,      btRusSet, btSendCode, edCode,     btABC,       btClear,    btSaveDemo,
        btViewDemo, btUSset,         btPrinterON, btPrinterOFF, btCursor, btGermany,
    };
    for (qsizetype i = 1; i < tabOrder.size(); ++i)
        setTabOrder(tabOrder[i - 1], tabOrder[i]);
}

void TForm1::fitCaptions()
{
    // The window was laid out for MS Sans Serif at 11 px, whose widths
    // Liberation Sans and Arial share. A machine with none of them (a Debian
    // desktop without fonts-liberation) gets a wider face from fontconfig,
    // DejaVu Sans, in which four captions would run into their buttons'
    // frames. The layout stays; the text steps down a pixel at a time until
    // every caption fits.
    const QList<QPushButton *> buttons = findChildren<QPushButton *>();
    const auto captionsFit = [&buttons](const QFont &font) {
        const QFontMetrics metrics(font);
        return std::all_of(buttons.begin(), buttons.end(), [&metrics](const QPushButton *button) {
            return metrics.horizontalAdvance(button->text()) + 2 * captionClearance <= button->width();
        });
    };
    QFont text = font();
    while (text.pixelSize() > smallestPixelSize && !captionsFit(text))
        text.setPixelSize(text.pixelSize() - 1);
    setFont(text);
}

template<typename Sender, typename Signal>
void TForm1::connectHandler(Sender *sender, Signal signal, void (TForm1::*handler)())
{
    connect(sender, signal, this, [this, handler] { runHandler(handler); });
}

void TForm1::runHandler(void (TForm1::*handler)())
{
    try {
        (this->*handler)();
    } catch (const std::exception &error) {
        m_boxes->showError(this, QString::fromUtf8(error.what()));
    } catch (...) {
        m_boxes->showError(this, QStringLiteral("Unexpected error"));
    }
}

void TForm1::connectHandlers()
{
    connectHandler(udDemoMode, &UpDown::clicked, &TForm1::udDemoModeClick);
    connectHandler(btUpdateSetting, &QPushButton::clicked, &TForm1::btUpdateSettingClick);
    connectHandler(btSetup, &QPushButton::clicked, &TForm1::btSetupClick);
    connectHandler(btClear, &QPushButton::clicked, &TForm1::btClearClick);
    connectHandler(btCursor, &QPushButton::clicked, &TForm1::btCursorClick);
    connectHandler(btRusSet, &QPushButton::clicked, &TForm1::btRusSetClick);
    connectHandler(btUSset, &QPushButton::clicked, &TForm1::btUSsetClick);
    connectHandler(btGermany, &QPushButton::clicked, &TForm1::btGermanyClick);
    connectHandler(btSaveDemo, &QPushButton::clicked, &TForm1::btSaveDemoClick);
    connectHandler(btViewDemo, &QPushButton::clicked, &TForm1::btViewDemoClick);
    connectHandler(btPrinterON, &QPushButton::clicked, &TForm1::btPrinterONClick);
    connectHandler(btPrinterOFF, &QPushButton::clicked, &TForm1::btPrinterOFFClick);
    connectHandler(btSendText, &QPushButton::clicked, &TForm1::btSendTextClick);
    connectHandler(btSendCode, &QPushButton::clicked, &TForm1::btSendCodeClick);
    connectHandler(btABC, &QPushButton::clicked, &TForm1::btABCClick);

    connect(cbComm, &QComboBox::currentIndexChanged, this,
            [this] { cbComm->setToolTip(cbComm->currentData(Qt::ToolTipRole).toString()); });
    // The port also closes by itself when its device goes away.
    connect(CommDisp, &ComPort::openChanged, this, &TForm1::describePortState);
}

bool TForm1::event(QEvent *event)
{
    // Without a window manager the window is never activated, so the first
    // show counts as well; either way the defaults are set exactly once,
    // before the operator can touch anything.
    if ((event->type() == QEvent::Show || event->type() == QEvent::WindowActivate) && !m_activated) {
        m_activated = true;
        runHandler(&TForm1::FormActivate);
    }
    return QWidget::event(event);
}

void TForm1::closeEvent(QCloseEvent *event)
{
    runHandler(&TForm1::FormClose);
    event->accept();
}

void TForm1::FormActivate()
{
    cbComm->setCurrentIndex(0);
    cbBaud->setCurrentIndex(5);
    cbParity->setCurrentIndex(0);
    cbDataBits->setCurrentIndex(3);
    cbStopBits->setCurrentIndex(0);
    m_link.clearPortOpened();
    describePorts();
    describePortState();
}

void TForm1::FormClose()
{
    CommDisp->close();
}

void TForm1::udDemoModeClick()
{
    lbDemoMode->setText(QString::fromUtf8(display::demoModeName(udDemoMode->position())));
    fitToText(lbDemoMode);
}

void TForm1::btUpdateSettingClick()
{
    const PortChoice choice{cbBaud->currentIndex(), cbComm->currentText(), cbParity->currentIndex(),
                            cbDataBits->currentIndex(), cbStopBits->currentIndex()};
    describePorts();
    const SerialLink::UpdateResult result = m_link.update(choice, chbEnabled->isChecked());
    describePortState();
    if (result == SerialLink::UpdateResult::OpenFailed) {
        chbEnabled->setChecked(false);
        m_boxes->showMessage(this, QStringLiteral("Error opening port !"), QStringLiteral("Open Error"));
    }
}

void TForm1::describePorts()
{
    for (int i = 0; i < cbComm->count(); ++i)
        cbComm->setItemData(i, describePortName(cbComm->itemText(i)), Qt::ToolTipRole);
    cbComm->setToolTip(cbComm->currentData(Qt::ToolTipRole).toString());
}

void TForm1::describePortState()
{
    if (CommDisp->isOpen())
        ComLed1->setToolTip(QStringLiteral("%1 is open").arg(CommDisp->port()));
    else if (!m_link.lastOpenError().isEmpty())
        ComLed1->setToolTip(QStringLiteral("Not open: %1").arg(m_link.lastOpenError()));
    else
        ComLed1->setToolTip(QStringLiteral("%1 is closed").arg(CommDisp->port()));
}

void TForm1::btSetupClick() { m_link.send(toByteArray(display::setupFrame(cbBaud->currentIndex()))); }
void TForm1::btClearClick() { sendCommand(m_link, display::Command::Clear); }
void TForm1::btCursorClick() { sendCommand(m_link, display::Command::Cursor); }
void TForm1::btRusSetClick() { sendCommand(m_link, display::Command::RussianSet); }
void TForm1::btUSsetClick() { sendCommand(m_link, display::Command::EnglishSet); }
void TForm1::btGermanyClick() { sendCommand(m_link, display::Command::GermanSet); }
void TForm1::btSaveDemoClick() { sendCommand(m_link, display::Command::SaveDemo); }
void TForm1::btViewDemoClick() { m_link.send(toByteArray(display::viewDemoFrame(udDemoMode->position()))); }
void TForm1::btPrinterONClick() { sendCommand(m_link, display::Command::PrinterOn); }
void TForm1::btPrinterOFFClick() { sendCommand(m_link, display::Command::PrinterOff); }

void TForm1::btSendTextClick()
{
    if (!m_link.portOpened())
        return;
    CommDisp->clearBuffers();
    const QString text = edText->text();
    const auto windows1251 = display::toWindows1251(
        std::u16string_view(reinterpret_cast<const char16_t *>(text.utf16()), static_cast<std::size_t>(text.size())));
    CommDisp->write(toByteArray(display::toCodePage866(windows1251)));
}

void TForm1::btSendCodeClick()
{
    if (!m_link.portOpened())
        return;
    const QByteArray field = edCode->text().toUtf8();
    const auto code = display::parseCharCode(std::string_view(field.constData(), static_cast<std::size_t>(field.size())));
    if (!code)
        return;
    const char byte = static_cast<char>(static_cast<std::uint32_t>(*code) & 0xFF);
    if (byte == 0)
        return;
    CommDisp->write(QByteArray(1, byte));
}

void TForm1::btABCClick()
{
    if (!m_link.portOpened())
        return;
    CommDisp->clearBuffers();
    for (const std::uint8_t letter : display::alphabetRun())
        CommDisp->write(QByteArray(1, static_cast<char>(letter)));
}
