#include "seriallink.h"

#include "comport.h"

SerialLink::UpdateResult SerialLink::update(const PortChoice &choice, bool wantOpen)
{
    if (choice.baudIndex >= 0 && choice.baudIndex < static_cast<int>(baudRates.size()))
        m_port.setBaudRate(baudRates[static_cast<std::size_t>(choice.baudIndex)]);
    if (!choice.portName.isEmpty())
        m_port.setPort(choice.portName);
    if (const auto parity = settingAt(choice.parityIndex, Parity::Space))
        m_port.setParity(*parity);
    if (const auto bits = settingAt(choice.dataBitsIndex, DataBits::Eight))
        m_port.setDataBits(*bits);
    if (const auto bits = settingAt(choice.stopBitsIndex, StopBits::Two))
        m_port.setStopBits(*bits);
    m_port.setFlowControlNone();
    m_port.close();

    if (!wantOpen)
        return UpdateResult::Closed;
    PortOpened = true;
    try {
        m_port.open();
    } catch (const std::exception &) {
        PortOpened = false;
        m_port.close();
        return UpdateResult::OpenFailed;
    }
    return UpdateResult::Opened;
}

void SerialLink::send(const QByteArray &bytes)
{
    if (!PortOpened)
        return;
    m_port.clearBuffers();
    m_port.write(bytes);
}
