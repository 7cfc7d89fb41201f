#pragma once

#include "nativeport.h"
#include "portsettings.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <stdexcept>

// Raised by ComPort for whatever it cannot do; the text is for the operator.
class ComPortError : public std::runtime_error
{
public:
    explicit ComPortError(const QString &text) : std::runtime_error(text.toStdString()) { }
};

// The program's serial port: write-only, no flow control, DTR and RTS held
// low. Settings changed while the port is open apply at once, all together:
// one the device does not take is refused and the port stays under the
// settings it had. A new port name closes the old device and opens the new one.
class ComPort : public QObject
{
    Q_OBJECT
public:
    explicit ComPort(QObject *parent = nullptr);
    ~ComPort() override;

    // The port name and every line setting in one step.
    void setSettings(const QString &port, const LineSettings &settings);
    LineSettings settings() const { return m_settings; }
    void setBaudRate(qint32 rate);
    qint32 baudRate() const { return m_settings.baudRate; }
    void setPort(const QString &name);
    QString port() const { return m_port; }
    void setParity(Parity parity);
    Parity parity() const { return m_settings.parity; }
    void setDataBits(DataBits bits);
    DataBits dataBits() const { return m_settings.dataBits; }
    void setStopBits(StopBits bits);
    StopBits stopBits() const { return m_settings.stopBits; }

    void open();
    // Harmless when the port is closed.
    void close();
    bool isOpen() const;

    // Empties the driver's input and output queues. Virtual, like write(),
    // so that a test can record the order of the calls.
    virtual void clearBuffers();
    // Returns once every byte has been handed to the driver and sent. A write
    // that takes longer than its time-out is abandoned and what is left of it
    // discarded.
    virtual void write(const QByteArray &bytes);

    // The time a write may take: constantMs plus perByteMs for each byte.
    void setWriteTimeout(int constantMs, int perByteMs);

signals:
    void openChanged(bool open);

private:
    // Closes the port when the device has gone away, then raises the error.
    void failOnDeviceError(const QString &error, bool deviceGone);
    [[noreturn]] void raise(const QString &what) const;

    NativePort m_native;
    QString m_port = QStringLiteral("COM1");
    LineSettings m_settings;
    int m_writeTimeoutConstantMs = 1000;
    int m_writeTimeoutPerByteMs = 100;
};
