#pragma once

#include "portsettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <stdexcept>

class QSerialPort;

// Raised by ComPort for whatever it cannot do; the text is for the operator.
class ComPortError : public std::runtime_error
{
public:
    explicit ComPortError(const QString &text) : std::runtime_error(text.toStdString()) { }
};

// The program's serial port: a write-only QSerialPort with no flow control and
// DTR and RTS held low. A setting changed while the port is open applies at
// once; a new port name closes the old device and opens the new one.
class ComPort : public QObject
{
    Q_OBJECT
public:
    explicit ComPort(QObject *parent = nullptr);
    ~ComPort() override;

    void setBaudRate(qint32 rate);
    qint32 baudRate() const { return m_baudRate; }
    void setPort(const QString &name);
    QString port() const { return m_port; }
    void setParity(Parity parity);
    Parity parity() const { return m_parity; }
    void setDataBits(DataBits bits);
    DataBits dataBits() const { return m_dataBits; }
    void setStopBits(StopBits bits);
    StopBits stopBits() const { return m_stopBits; }
    // Also re-applies every line setting to an open port, so a combination
    // that cannot be used is reported here at the latest.
    void setFlowControlNone();

    void open();
    // Harmless when the port is closed.
    void close();
    bool isOpen() const;

    // Empties the driver's input and output queues. Virtual, like write(),
    // so that a test can record the order of the calls.
    virtual void clearBuffers();
    // Returns once every byte has been handed to the driver and sent. A write
    // that takes longer than its time-out is abandoned and what is left of it
    // discarded, so nothing goes out later.
    virtual void write(const QByteArray &bytes);

    // The time a write may take: constantMs plus perByteMs for each byte.
    void setWriteTimeout(int constantMs, int perByteMs);

signals:
    void openChanged(bool open);

private:
    void applyLineSettings();
    // Closes the port when the device has gone away, then raises the error.
    void failOnDeviceError(const QString &error, bool deviceGone);
    [[noreturn]] void raise(const QString &what) const;

    QSerialPort *m_serial = nullptr;
    QString m_port = QStringLiteral("COM1");
    qint32 m_baudRate = 9600;
    Parity m_parity = Parity::None;
    DataBits m_dataBits = DataBits::Eight;
    StopBits m_stopBits = StopBits::One;
    int m_writeTimeoutConstantMs = 1000;
    int m_writeTimeoutPerByteMs = 100;
};
