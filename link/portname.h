#pragma once

#include <QString>

// Where a COM name of the window leads. On Windows the name is the device.
// Elsewhere COMn is the target of the link
// $XDG_CONFIG_HOME/vkd417-demo/ports/COMn when that link exists (so that a
// USB adapter or a pseudo-terminal can stand in), and /dev/ttyS<n-1> only
// when nothing at all stands there: anything else, or a folder that cannot be
// read, is an error rather than a quiet turn to the machine's own port.
struct PortDevice
{
    QString path;       // the device to open, by its own name; empty when there is none
    QString linkedFrom; // the link it was found through, if any
    QString error;      // why there is no path, when it is empty
};

// Each system's own, in nativeport_unix.cpp or nativeport_win.cpp.
PortDevice resolvePortName(const QString &name);

// For the window's port list: the device a COM name leads to and what it
// is, "/dev/ttyUSB0 — FT232R USB UART", "/dev/ttyS0, no link", or why
// there is none.
QString describePortName(const QString &name);

// The folder that holds the port links (not on Windows).
QString portLinkFolder();
