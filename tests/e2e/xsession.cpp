#include "xsession.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QStandardPaths>
#include <QThread>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Ends a child: SIGTERM, then SIGKILL if it does not go within the grace time.
void endChild(pid_t pid, int graceMs)
{
    if (pid <= 0)
        return;
    ::kill(pid, SIGTERM);
    const QDeadlineTimer deadline(graceMs);
    while (!deadline.hasExpired()) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid)
            return;
        QThread::msleep(10);
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

} // namespace

XServer::~XServer()
{
    stop();
}

void XServer::stop()
{
    endChild(m_pid, 5000);
    m_pid = -1;
}

QString XServer::start(const QString &logPath, int timeoutMs)
{
    const QString xvfb = QStandardPaths::findExecutable(QStringLiteral("Xvfb"));
    if (xvfb.isEmpty())
        return QStringLiteral("Xvfb is not installed (scripts/deps installs it; scripts/test runs that)");

    int ready[2];
    if (::pipe2(ready, O_CLOEXEC) != 0)
        return QStringLiteral("pipe: ") + QString::fromLocal8Bit(std::strerror(errno));
    const int log = ::open(QFile::encodeName(logPath).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const QByteArray program = QFile::encodeName(xvfb);
    // Xvfb writes the display number it took to fd 3 once it takes
    // connections. -noreset: the keymap set below must outlive the moments
    // when no client is connected.
    const char *argv[] = {program.constData(), "-displayfd", "3", "-screen", "0", "1024x768x24",
                          "-nolisten", "tcp", "-noreset", nullptr};

    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid < 0) {
        ::close(ready[0]);
        ::close(ready[1]);
        if (log >= 0)
            ::close(log);
        return QStringLiteral("fork: ") + QString::fromLocal8Bit(std::strerror(errno));
    }
    if (pid == 0) {
        // The server goes with the test, even when the test is killed.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::setpgid(0, 0);
        const int null = ::open("/dev/null", O_RDONLY);
        ::dup2(null, 0);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        ::dup2(ready[1], 3);
        ::execv(argv[0], const_cast<char *const *>(argv));
        ::_exit(127);
    }
    m_pid = pid;
    ::close(ready[1]);
    if (log >= 0)
        ::close(log);

    QByteArray number;
    const QDeadlineTimer deadline(timeoutMs);
    while (!number.contains('\n') && !deadline.hasExpired()) {
        pollfd p{ready[0], POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(qMax<qint64>(deadline.remainingTime(), 0))) <= 0)
            continue;
        char buf[32];
        const ssize_t n = ::read(ready[0], buf, sizeof buf);
        if (n <= 0)
            break; // the server is gone
        number.append(buf, n);
    }
    ::close(ready[0]);
    bool ok = false;
    const int display = number.trimmed().toInt(&ok);
    if (!ok) {
        stop();
        QFile f(logPath);
        f.open(QIODevice::ReadOnly);
        return QStringLiteral("Xvfb told no display number: ") + QString::fromLocal8Bit(f.readAll());
    }
    m_display = QStringLiteral(":%1").arg(display);

    const ToolResult keymap = runTool(QStringLiteral("setxkbmap"),
                                      {QStringLiteral("-display"), m_display, QStringLiteral("-layout"),
                                       QStringLiteral("us,ru")},
                                      environment());
    if (!keymap.ok)
        return QStringLiteral("setxkbmap: ") + keymap.error;
    return {};
}

QProcessEnvironment XServer::environment() const
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char *name : {"WAYLAND_DISPLAY", "XAUTHORITY", "QT_QPA_PLATFORM", "XDG_SESSION_TYPE"})
        env.remove(QString::fromLatin1(name));
    env.insert(QStringLiteral("DISPLAY"), m_display);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    return env;
}

ToolResult runTool(const QString &program, const QStringList &arguments, const QProcessEnvironment &env,
                   int timeoutMs)
{
    ToolResult result;
    QProcess process;
    process.setProcessEnvironment(env);
    process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(program, arguments);
    const QString call = program + QLatin1Char(' ') + arguments.join(QLatin1Char(' '));
    if (!process.waitForStarted(timeoutMs)) {
        result.error = call + QStringLiteral(": cannot start: ") + process.errorString();
        return result;
    }
    process.closeWriteChannel();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        result.error = call + QStringLiteral(": did not end within %1 ms").arg(timeoutMs);
        return result;
    }
    result.out = QString::fromUtf8(process.readAllStandardOutput());
    const QString err = QString::fromUtf8(process.readAllStandardError());
    result.ok = process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
    if (!result.ok)
        result.error = call + QStringLiteral(": exit code %1: ").arg(process.exitCode()) + err;
    return result;
}

ToolResult Desktop::xdotool(const QStringList &arguments) const
{
    ToolResult result = runTool(QStringLiteral("xdotool"), arguments, m_env);
    if (!result.ok)
        m_error = result.error;
    return result;
}

QStringList Desktop::findWindows(const QString &titlePattern, qint64 pid) const
{
    QStringList arguments = {QStringLiteral("search"), QStringLiteral("--onlyvisible")};
    // --all: of that process and with that title, not either.
    if (pid > 0)
        arguments << QStringLiteral("--all") << QStringLiteral("--pid") << QString::number(pid);
    arguments << QStringLiteral("--name") << titlePattern;
    // xdotool search ends with 1 when it finds nothing: not an error here.
    const ToolResult r = runTool(QStringLiteral("xdotool"), arguments, m_env);
    return r.out.split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

QStringList Desktop::visibleWindowsOf(qint64 pid) const
{
    return findWindows(QStringLiteral(".*"), pid);
}

QString Desktop::waitForWindow(const QString &titlePattern, qint64 pid, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    for (;;) {
        const QStringList found = findWindows(titlePattern, pid);
        if (!found.isEmpty())
            return found.first();
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("no window \"%1\" within %2 ms").arg(titlePattern).arg(timeoutMs);
            return {};
        }
        QThread::msleep(20);
    }
}

bool Desktop::waitUntilGone(const QString &window, qint64 pid, int timeoutMs) const
{
    const QDeadlineTimer deadline(timeoutMs);
    while (visibleWindowsOf(pid).contains(window)) {
        if (deadline.hasExpired()) {
            m_error = QStringLiteral("window %1 still shown after %2 ms").arg(window).arg(timeoutMs);
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

QRect Desktop::geometry(const QString &window) const
{
    // X=295 Y=122 WIDTH=394 HEIGHT=283 ...
    const ToolResult r = xdotool({QStringLiteral("getwindowgeometry"), QStringLiteral("--shell"), window});
    QRect rect;
    for (const QString &line : r.out.split(QLatin1Char('\n'))) {
        const QString key = line.section(QLatin1Char('='), 0, 0);
        const int value = line.section(QLatin1Char('='), 1).toInt();
        if (key == QLatin1String("X"))
            rect.moveLeft(value);
        else if (key == QLatin1String("Y"))
            rect.moveTop(value);
        else if (key == QLatin1String("WIDTH"))
            rect.setWidth(value);
        else if (key == QLatin1String("HEIGHT"))
            rect.setHeight(value);
    }
    return rect;
}

QString Desktop::windowName(const QString &window) const
{
    return xdotool({QStringLiteral("getwindowname"), window}).out.trimmed();
}

bool Desktop::click(QPoint p)
{
    return xdotool({QStringLiteral("mousemove"), QString::number(p.x()), QString::number(p.y()),
                    QStringLiteral("click"), QStringLiteral("1")})
        .ok;
}

bool Desktop::focus(const QString &window)
{
    return xdotool({QStringLiteral("windowfocus"), QStringLiteral("--sync"), window}).ok;
}

bool Desktop::key(const QStringList &keys)
{
    return xdotool(QStringList{QStringLiteral("key"), QStringLiteral("--delay"), QStringLiteral("30")} + keys).ok;
}

bool Desktop::type(const QString &text)
{
    return xdotool({QStringLiteral("type"), QStringLiteral("--delay"), QStringLiteral("30"), QStringLiteral("--"), text})
        .ok;
}
