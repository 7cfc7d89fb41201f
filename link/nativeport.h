#pragma once

#include "portsettings.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QString>

#include <memory>

// An open serial device, spoken to in its system's own terms: termios and
// ioctl in nativeport_unix.cpp, DCB, COMMTIMEOUTS and PurgeComm in
// nativeport_win.cpp. Both apply the line settings as one whole and read
// them back, and both answer with the same texts. Every function that can
// fail returns an empty string on success and the reason, for the
// operator, otherwise.
class NativePort
{
public:
    NativePort();
    ~NativePort();
    NativePort(const NativePort &) = delete;
    NativePort &operator=(const NativePort &) = delete;

    bool isOpen() const;

    // Opens the device for writing, with flow control off and DTR and RTS
    // low, under settings (as apply() takes them). Refuses a device that
    // cannot be a serial port or that another program holds; a device that
    // fails any step is closed again.
    QString open(const QString &path, const LineSettings &settings);
    // Applies every setting in one update and reads them back. Whatever the
    // device did not take is refused, naming the setting and the device
    // ("/dev/ttyUSB0 cannot send 6 data bits"), and the device is put back
    // under the settings it had.
    QString apply(const LineSettings &settings);
    // Puts back the settings the device had before open(), gives up the
    // locks, closes. Harmless when closed.
    void close();

    // Empties the driver's queues.
    QString discard(bool &deviceGone);
    // Writes all of bytes and waits until they have left; abandons the
    // write and discards what is left when the deadline passes ("Write timed
    // out"). deviceGone is set when the device has gone away.
    QString writeAll(const QByteArray &bytes, QDeadlineTimer deadline, bool &deviceGone);

private:
    struct Device; // each system's own
    std::unique_ptr<Device> m_device;
};

// What a line setting is called in a message: "6 data bits", "mark parity",
// "1.5 stop bits", "14400 bit/s".
QString describeDataBits(DataBits bits);
QString describeParity(Parity parity);
QString describeStopBits(StopBits bits);
QString describeBaudRate(qint32 rate);
// "/dev/ttyUSB0 cannot send 6 data bits"
QString cannotSend(const QString &device, const QString &setting);
