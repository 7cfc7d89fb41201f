#pragma once

// The referee's record: QEMU's trace of what the emulated chips were told
// (its "log" backend, one event a line), read into events and cut into the
// guest's cases by the marks written to the mark port's scratch register.

#include <QByteArray>
#include <QList>
#include <QString>

#include <map>

namespace hwbench {

struct Event
{
    enum Kind { UartWrite, UsbControl, UsbBaud, UsbFlow, Mark } kind = UartWrite;
    int address = 0; // UartWrite: register offset; UsbControl: request (bmRequestType << 8 | bRequest)
    int value = 0;   // UartWrite, UsbControl: the value; UsbBaud: QEMU's rate; UsbFlow: its flow control; Mark: the phase
    int caseNumber = 0; // Mark
};

// The 16550's registers as its data sheet names them, and the state they
// hold, replayed from the writes.
struct UartState
{
    int lcr = -1;
    int dll = -1;
    int dlm = -1;
    int mcr = -1;
    // Applies a register write; true when it was a byte to send (THR).
    bool apply(int address, int value);
    int divisor() const { return dll < 0 || dlm < 0 ? -1 : dlm << 8 | dll; }
};

// FTDI vendor requests (host to device), as the kernel's driver sends them.
enum FtdiRequest {
    FtdiReset = 0x4000,
    FtdiModemControl = 0x4001,
    FtdiFlowControl = 0x4002,
    FtdiSetBaudRate = 0x4003,
    FtdiSetData = 0x4004,
};

struct UsbState
{
    int data = -1;      // the last SET_DATA value
    int baudValue = -1; // the last SET_BAUD_RATE value
    int speed = -1;     // the rate QEMU's model made of it
    int flow = -1;      // the flow control QEMU's model was set to (0 none, 1 RTS/CTS, 2 DTR/DSR, 4 XON/XOFF)
    int dtr = -1;       // the lines as the last modem-control requests left them
    int rts = -1;
    void apply(const Event &e);
};

class Record
{
public:
    // Reads QEMU's trace log; errors() says what did not fit.
    explicit Record(const QString &tracePath);

    const QList<Event> &events() const { return m_events; }
    QStringList errors() const { return m_errors; }
    // Index in events() of the mark, or -1.
    int markAt(int caseNumber, int phase) const;
    // What the chips had been told by the event at index `before`.
    UartState uartAt(int before) const;
    UsbState usbAt(int before) const;

private:
    QList<Event> m_events;
    QStringList m_errors;
    std::map<std::pair<int, int>, int> m_marks;
};

} // namespace hwbench
