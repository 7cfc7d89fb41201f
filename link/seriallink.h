#pragma once

#include <QByteArray>
#include <QString>

class ComPort;

// The operator's choice in the port lists, as positions; -1 is no selection,
// which leaves that setting as it is.
struct PortChoice
{
    int baudIndex = -1;
    QString portName;
    int parityIndex = -1;
    int dataBitsIndex = -1;
    int stopBitsIndex = -1;
};

// The port as the display buttons see it: the settings handed to the port,
// its opening and closing, and the ready flag PortOpened that guards every send.
class SerialLink
{
public:
    explicit SerialLink(ComPort &port) : m_port(port) { }

    enum class UpdateResult { Closed, Opened, OpenFailed };

    // Hands the whole choice to the port at once, closes it and, when
    // wanted, opens it again. An error while taking the settings is raised
    // (ComPortError) and ends the update there; a failed opening is
    // returned, not raised, and its reason kept for lastOpenError().
    UpdateResult update(const PortChoice &choice, bool wantOpen);
    // Why the last opening failed; empty after one that succeeded.
    QString lastOpenError() const { return m_lastOpenError; }

    bool portOpened() const { return PortOpened; }
    void clearPortOpened() { PortOpened = false; }

    // When ready: discard both queues, then write bytes in one write.
    void send(const QByteArray &bytes);

    ComPort &port() const { return m_port; }

private:
    ComPort &m_port;
    bool PortOpened = false;
    QString m_lastOpenError;
};
