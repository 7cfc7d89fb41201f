#pragma once

#include "seriallink.h"

#include <QWidget>

#include <memory>

class ComLed;
class ComPort;
class MessageBoxes;
class QCheckBox;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class UpDown;

// The program's one window: the port settings, the lamp, and the buttons
// that send the display its commands, text and codes.
class TForm1 : public QWidget
{
    Q_OBJECT
public:
    // The window takes the port it is given (a test's), or makes its own.
    explicit TForm1(ComPort *port = nullptr, QWidget *parent = nullptr);
    ~TForm1() override;

    // Tests stand in for the boxes; the window does not own them.
    void setMessageBoxes(MessageBoxes *boxes);
    const SerialLink &serialLink() const { return m_link; }

    void FormActivate();
    void FormClose();
    void udDemoModeClick();
    void btUpdateSettingClick();

    void btSetupClick();
    void btClearClick();
    void btCursorClick();
    void btRusSetClick();
    void btUSsetClick();
    void btGermanyClick();
    void btSaveDemoClick();
    void btViewDemoClick();
    void btPrinterONClick();
    void btPrinterOFFClick();

    void btSendTextClick();
    void btSendCodeClick();
    void btABCClick();

protected:
    bool event(QEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void createControls();
    // Makes the window's text small enough for every caption to fit its
    // button with the fonts the machine has.
    void fitCaptions();
    void connectHandlers();
    // Every handler runs through here: nothing it throws reaches Qt's event
    // dispatch; it goes to the standard error box and the window goes on.
    template<typename Sender, typename Signal>
    void connectHandler(Sender *sender, Signal signal, void (TForm1::*handler)());
    void runHandler(void (TForm1::*handler)());
    // What the operator needs to see why a port did not open: the device
    // each COM name leads to, on its entry, and on the lamp the port's state
    // or the reason of the last failure to open.
    void describePorts();
    void describePortState();

    ComPort *CommDisp = nullptr;
    SerialLink m_link;
    std::unique_ptr<MessageBoxes> m_ownBoxes;
    MessageBoxes *m_boxes = nullptr;
    bool m_activated = false;

    QLabel *Label1 = nullptr;
    QLabel *Label3 = nullptr;
    QGroupBox *GroupBox1 = nullptr;
    QLabel *lbBaud = nullptr;
    QLabel *lbParity = nullptr;
    QLabel *lbPort = nullptr;
    ComLed *ComLed1 = nullptr;
    QLabel *Label11 = nullptr;
    QLabel *Label4 = nullptr;
    QCheckBox *chbEnabled = nullptr;
    QPushButton *btUpdateSetting = nullptr;
    QComboBox *cbBaud = nullptr;
    QComboBox *cbParity = nullptr;
    QComboBox *cbComm = nullptr;
    QPushButton *btSetup = nullptr;
    QComboBox *cbDataBits = nullptr;
    QComboBox *cbStopBits = nullptr;
    QGroupBox *GroupBox2 = nullptr;
    QLabel *lbDemoMode = nullptr;
    QLabel *Label2 = nullptr;
    QLineEdit *edText = nullptr;
    QPushButton *btSendText = nullptr;
    QPushButton *btRusSet = nullptr;
    QPushButton *btSendCode = nullptr;
    QLineEdit *edCode = nullptr;
    QPushButton *btABC = nullptr;
    QPushButton *btClear = nullptr;
    QPushButton *btSaveDemo = nullptr;
    QPushButton *btViewDemo = nullptr;
    UpDown *udDemoMode = nullptr;
    QPushButton *btUSset = nullptr;
    QPushButton *btPrinterON = nullptr;
    QPushButton *btPrinterOFF = nullptr;
    QPushButton *btCursor = nullptr;
    QPushButton *btGermany = nullptr;
    QFrame *Panel1 = nullptr;
    QLabel *Image1 = nullptr;
};
