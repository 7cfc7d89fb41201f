#include "record.h"
#include "linecases.h"

#include <QFile>
#include <QRegularExpression>

namespace hwbench {

bool UartState::apply(int address, int value)
{
    const bool dlab = lcr >= 0 && (lcr & 0x80);
    switch (address) {
    case 0:
        if (dlab)
            dll = value;
        return !dlab;
    case 1:
        if (dlab)
            dlm = value;
        return false;
    case 3:
        lcr = value;
        return false;
    case 4:
        mcr = value;
        return false;
    default:
        return false;
    }
}

void UsbState::apply(const Event &e)
{
    if (e.kind == Event::UsbBaud) {
        speed = e.value;
        return;
    }
    if (e.kind == Event::UsbFlow) {
        flow = e.value;
        return;
    }
    if (e.kind != Event::UsbControl)
        return;
    switch (e.address) {
    case FtdiSetData:
        data = e.value;
        break;
    case FtdiSetBaudRate:
        baudValue = e.value;
        break;
    case FtdiModemControl:
        // Bits 8 and 9 say which of DTR (bit 0) and RTS (bit 1) to set.
        if (e.value & 0x100)
            dtr = e.value & 1;
        if (e.value & 0x200)
            rts = (e.value >> 1) & 1;
        break;
    case FtdiReset:
        // A reset of the chip leaves the lines as they were.
        break;
    }
}

Record::Record(const QString &tracePath)
{
    QFile file(tracePath);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        m_errors << QStringLiteral("cannot read %1").arg(tracePath);
        return;
    }
    static const QRegularExpression uartWrite(QStringLiteral(R"(^serial_write write addr 0x([0-9a-f]+) val 0x([0-9a-f]+))"));
    static const QRegularExpression usbControl(QStringLiteral(R"(^usb_serial_handle_control dev \d+:\d+ got control 0x([0-9a-f]+), value 0x([0-9a-f]+))"));
    static const QRegularExpression usbBaud(QStringLiteral(R"(^usb_serial_set_baud dev \d+:\d+ baud rate (\d+))"));
    static const QRegularExpression usbFlow(QStringLiteral(R"(^usb_serial_set_flow_control dev \d+:\d+ flow control (\d+))"));

    // A mark's four scratch-register writes, gathered however other events
    // fall between them.
    QList<int> markBytes;
    bool started = false;
    for (const QByteArray &raw : file.readAll().split('\n')) {
        const QString line = QString::fromLatin1(raw);
        QRegularExpressionMatch m;
        if ((m = uartWrite.match(line)).hasMatch()) {
            const int address = m.captured(1).toInt(nullptr, 16);
            const int value = m.captured(2).toInt(nullptr, 16);
            if (address == (markPort & 7) && (value == markLead || !markBytes.isEmpty())) {
                markBytes << value;
                if (markBytes.size() == 4) {
                    const Event mark{Event::Mark, 0, markBytes[1], markBytes[2] << 8 | markBytes[3]};
                    const auto key = std::make_pair(mark.caseNumber, mark.value);
                    if (m_marks.count(key))
                        m_errors << QStringLiteral("case %1 marked twice with phase %2").arg(mark.caseNumber).arg(mark.value);
                    m_marks[key] = static_cast<int>(m_events.size());
                    m_events << mark;
                    markBytes.clear();
                    started = true;
                }
                continue;
            }
            if (address == (markPort & 7) && started)
                m_errors << QStringLiteral("a scratch-register write 0x%1 that is no mark").arg(value, 2, 16, QLatin1Char('0'));
            if (started)
                m_events << Event{Event::UartWrite, address, value};
        } else if (!started) {
            continue;
        } else if ((m = usbControl.match(line)).hasMatch()) {
            m_events << Event{Event::UsbControl, m.captured(1).toInt(nullptr, 16), m.captured(2).toInt(nullptr, 16)};
        } else if ((m = usbBaud.match(line)).hasMatch()) {
            m_events << Event{Event::UsbBaud, 0, m.captured(1).toInt()};
        } else if ((m = usbFlow.match(line)).hasMatch()) {
            m_events << Event{Event::UsbFlow, 0, m.captured(1).toInt()};
        }
    }
    if (!markBytes.isEmpty())
        m_errors << QStringLiteral("the record ends inside a mark");
}

UartState Record::uartAt(int before) const
{
    UartState chip;
    for (int i = 0; i < before && i < m_events.size(); ++i) {
        if (m_events[i].kind == Event::UartWrite)
            chip.apply(m_events[i].address, m_events[i].value);
    }
    return chip;
}

UsbState Record::usbAt(int before) const
{
    UsbState chip;
    for (int i = 0; i < before && i < m_events.size(); ++i)
        chip.apply(m_events[i]);
    return chip;
}

int Record::markAt(int caseNumber, int phase) const
{
    const auto it = m_marks.find(std::make_pair(caseNumber, phase));
    return it == m_marks.end() ? -1 : it->second;
}

} // namespace hwbench
