#pragma once

#include <QPoint>
#include <QProcess>
#include <QRect>
#include <QString>
#include <QStringList>

#include <sys/types.h>

// A private X server (Xvfb) of the test's own, on a display number it picks
// itself (-displayfd), with a keymap that has a Russian group besides the
// English one, so that xdotool types Cyrillic letters without remapping keys
// on the fly. Stopped when the object goes, however the test ends.
class XServer
{
public:
    XServer() = default;
    ~XServer();
    XServer(const XServer &) = delete;
    XServer &operator=(const XServer &) = delete;

    // Starts Xvfb, its messages going to logPath, waiting up to timeoutMs
    // for it to take connections; gives an error message, empty on success.
    QString start(const QString &logPath, int timeoutMs = 15000);
    void stop();

    QString display() const { return m_display; } // ":N"
    // An environment for a program shown on this server.
    QProcessEnvironment environment() const;

private:
    pid_t m_pid = -1;
    QString m_display;
};

// Runs a helper program (xdotool, setxkbmap) to its end within a deadline.
struct ToolResult
{
    bool ok = false; // started, ended within the deadline, exit code 0
    QString out;
    QString error;
};
ToolResult runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
                   int timeoutMs = 10000);

// Input as a person gives it, through xdotool (XTEST): the pointer and the
// keyboard of the server, never events sent to a window directly.
class Desktop
{
public:
    explicit Desktop(const XServer &server) : m_env(server.environment()) {}

    // The visible windows whose title matches the regular expression, of the
    // given process when pid > 0.
    QStringList findWindows(const QString &titlePattern, qint64 pid = 0) const;
    QStringList visibleWindowsOf(qint64 pid) const;
    // Waits until one shows, or the deadline; empty then.
    QString waitForWindow(const QString &titlePattern, qint64 pid = 0, int timeoutMs = 10000) const;
    bool waitUntilGone(const QString &window, qint64 pid, int timeoutMs = 10000) const;
    QRect geometry(const QString &window) const;
    QString windowName(const QString &window) const;

    bool click(QPoint screenPoint);
    bool focus(const QString &window);
    bool key(const QStringList &keys);
    bool type(const QString &text);

    QString lastError() const { return m_error; }
    const QProcessEnvironment &environment() const { return m_env; }

private:
    ToolResult xdotool(const QStringList &arguments) const;

    QProcessEnvironment m_env;
    mutable QString m_error;
};
