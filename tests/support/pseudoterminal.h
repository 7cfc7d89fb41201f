#pragma once

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>


// The line settings a terminal shows, as the kernel holds them.
struct TerminalSettings
{
    unsigned cflag = 0;
    unsigned iflag = 0;
    unsigned inputSpeed = 0;
    unsigned outputSpeed = 0;

    friend bool operator==(const TerminalSettings &, const TerminalSettings &) = default;
};

// A pseudo-terminal whose far (master) end the test reads: what the program
// writes to the terminal device is exactly what arrives here.
class PseudoTerminal
{
public:
    PseudoTerminal();
    ~PseudoTerminal();
    PseudoTerminal(const PseudoTerminal &) = delete;
    PseudoTerminal &operator=(const PseudoTerminal &) = delete;

    bool isValid() const { return m_master >= 0; }
    QString devicePath() const { return m_path; }
    int masterFd() const { return m_master; }

    // Everything that arrives until the line stays quiet for quietMs.
    QByteArray readAvailable(int quietMs = 50);
    // Reads until n bytes have come or timeoutMs has passed.
    QByteArray readExactly(qsizetype n, int timeoutMs = 5000);

    // Read with TCGETS2, which tells any rate, 14400 too.
    TerminalSettings settings() const;
    // Sets them as another program would have left them.
    bool setSettings(const TerminalSettings &settings);
    // Whether the device is in exclusive mode (TIOCEXCL).
    bool isExclusive() const;

    // Sends bytes from the far end towards the program, as a display that
    // talks back would.
    bool sendToDevice(const QByteArray &bytes);
    // How many of them wait, unread, in the device's input queue.
    int pendingInput() const;

    // Closes the far end, as when a USB adapter is pulled out.
    void closeMaster();

private:
    int m_master = -1;
    int m_slave = -1;
    QString m_path;
};

// A private configuration folder (XDG_CONFIG_HOME) in which COM names are
// linked to devices of the test's own (at first, all eight to nothing);
// restores the environment when done.
class PortLinks
{
public:
    PortLinks();
    ~PortLinks();
    PortLinks(const PortLinks &) = delete;
    PortLinks &operator=(const PortLinks &) = delete;

    // Makes COMn stand for target (replacing an earlier link).
    bool link(const QString &comName, const QString &target);
    void unlink(const QString &comName);
    QString folder() const { return m_dir.path(); }

private:
    QTemporaryDir m_dir;
    QByteArray m_saved;
    bool m_hadValue = false;
};
