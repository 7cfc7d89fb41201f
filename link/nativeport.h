#pragma once

#include "portsettings.h"

#include <QDeadlineTimer>
#include <QSerialPort>
#include <QString>

// What the serial component does differently on each system. Every function
// returns an empty string on success and the reason otherwise.
namespace nativeport {

// Refuses a device that cannot be a serial port, or that another program
// has said it holds, before it is opened.
QString checkDevice(const QString &path);
// Checks the opened device, locks it against other programs, and lowers DTR
// and RTS (raised by the system at every open).
QString prepareOpened(QSerialPort &port);
// The stop-bit setting that gives `bits` on this system, given the data bits.
QSerialPort::StopBits stopBits(StopBits bits);
// Writes all of bytes and waits until they have left; abandons the write and
// discards what is left when the deadline passes. deviceGone is set when
// the device has gone away.
QString writeAll(QSerialPort &port, const QByteArray &bytes, QDeadlineTimer deadline,
                 bool &deviceGone);
QString discard(QSerialPort &port, bool &deviceGone);

} // namespace nativeport
