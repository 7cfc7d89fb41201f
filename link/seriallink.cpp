#include "seriallink.h"

#include "comport.h"

SerialLink::UpdateResult SerialLink::update(const PortChoice &choice, bool wantOpen)
{
    LineSettings settings = m_port.settings();
    if (choice.baudIndex >= 0 && choice.baudIndex < static_cast<int>(baudRates.size()))
        settings.baudRate = baudRates[static_cast<std::size_t>(choice.baudIndex)];
    if (const auto parity = settingAt(choice.parityIndex, Parity::Space))
        settings.parity = *parity;
    if (const auto bits = settingAt(choice.dataBitsIndex, DataBits::Eight))
        settings.dataBits = *bits;
    if (const auto bits = settingAt(choice.stopBitsIndex, StopBits::Two))
        settings.stopBits = *bits;
    const QString portName = choice.portName.isEmpty() ? m_port.port() : choice.portName;

    if (!wantOpen) {
        // A port about to be closed takes no settings first, so that a
        // choice the device refuses can never keep it open.
        m_port.close();
        m_port.setSettings(portName, settings);
        return UpdateResult::Closed;
    }
    m_port.setSettings(portName, settings);
    m_port.close();
    PortOpened = true;
    try {
        m_port.open();
    } catch (const std::exception &error) {
        PortOpened = false;
        m_port.close();
        m_lastOpenError = QString::fromUtf8(error.what());
        return UpdateResult::OpenFailed;
    }
    m_lastOpenError.clear();
    return UpdateResult::Opened;
}

void SerialLink::send(const QByteArray &bytes)
{
    if (!PortOpened)
        return;
    m_port.clearBuffers();
    m_port.write(bytes);
}
