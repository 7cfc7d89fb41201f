// The guest's half of the window steps: the real vkd417-demo on an X server
// of its own (Xvfb) inside the guest, clicked and typed into with xdotool,
// once with COM1 linked to the 16550 and once to the FTDI adapter. Each step
// is marked in the referee's record; the guest notes which boxes showed and
// keeps a picture of the window after each step. The host judges.
//
//   hw-window OUTDIR     (as root in the guest; OUTDIR is shared with the host)

#include "form1layout.h"
#include "guestmarks.h"
#include "windowcases.h"
#include "xsession.h"

#include <QGuiApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPixmap>
#include <QProcess>
#include <QScreen>
#include <QThread>

#include <cstdio>
#include <memory>
#include <optional>

using namespace hwbench;
using namespace Qt::StringLiterals;

namespace {

const QString windowTitle = u"^Zelvar VKD-417 Demo$"_s;


template<typename Condition>
bool waitUntil(Condition condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QThread::msleep(50);
    }
    return true;
}

// What the program has done so far: what it has read and written (the X
// connection and the port alike), and whether it is running or waiting.
QByteArray activity(qint64 pid)
{
    QFile io(u"/proc/%1/io"_s.arg(pid));
    QFile stat(u"/proc/%1/stat"_s.arg(pid));
    if (!io.open(QIODevice::ReadOnly) || !stat.open(QIODevice::ReadOnly))
        return {};
    const QByteArray s = stat.readAll();
    const qsizetype afterName = s.lastIndexOf(')');
    return io.readAll() + s.mid(afterName + 2, 1);
}

class Guest
{
public:
    Guest(const QString &out, const XServer &server) : m_out(out), m_server(server), m_desktop(server) { }

    bool run();

private:
    bool startWindow(Device device);
    void stopWindow();
    bool step(const WindowStep &s);
    // Waits until the program has handled what it was given: it has read
    // since `before` (an activity() taken before the input), and then been
    // quiet, waiting, for half a second.
    void settle(const QByteArray &before = {});
    void click(const char *name);
    void chooseInList(const char *list, const QStringList &keys);
    bool askHost(const WindowStep &s, const QString &command);
    bool waitForHost(const WindowStep &s);
    QStringList dismissBoxes(const WindowStep &s);
    void screenshot(const QString &window, const QString &file);
    void fail(const QString &why) { std::fprintf(stderr, "hw-window: %s\n", qPrintable(why)); m_failed = true; }

    QString m_out;
    const XServer &m_server;
    Desktop m_desktop;
    std::unique_ptr<QProcess> m_demo;
    QString m_window;
    QPoint m_origin;
    QFile m_notes;
    bool m_failed = false;
};

bool Guest::startWindow(Device device)
{
    // COM1 is the device under test.
    const QString ports = qEnvironmentVariable("XDG_CONFIG_HOME") + u"/vkd417-demo/ports"_s;
    QDir().mkpath(ports);
    QFile::remove(ports + u"/COM1"_s);
    if (!QFile::link(QLatin1String(devicePath(device)), ports + u"/COM1"_s))
        return fail(u"cannot link COM1"_s), false;

    m_demo = std::make_unique<QProcess>();
    QProcessEnvironment env = m_server.environment();
    m_demo->setProcessEnvironment(env);
    m_demo->setProcessChannelMode(QProcess::MergedChannels);
    m_demo->setStandardOutputFile(m_out + u"/vkd417-demo-%1.log"_s.arg(int(device)));
    m_demo->start(QStringLiteral(VKD_DEMO_PROGRAM), {});
    if (!m_demo->waitForStarted(30000))
        return fail(m_demo->errorString()), false;
    m_window = m_desktop.waitForWindow(windowTitle, m_demo->processId(), 60000);
    if (m_window.isEmpty())
        return fail(u"the window did not show: "_s + m_desktop.lastError()), false;
    m_origin = m_desktop.geometry(m_window).topLeft();
    settle();
    return true;
}

void Guest::stopWindow()
{
    if (m_demo) {
        m_demo->terminate();
        if (!m_demo->waitForFinished(10000))
            m_demo->kill();
        m_demo->waitForFinished(5000);
    }
    m_demo.reset();
}

void Guest::settle(const QByteArray &before)
{
    const qint64 pid = m_demo->processId();
    // Under emulation on a busy machine the program may not even have woken
    // up yet; half a second of quiet proves nothing until it has.
    if (!before.isEmpty())
        waitUntil([&] { return activity(pid).chopped(1) != before.chopped(1); }, 20000);
    QByteArray last;
    int quiet = 0;
    waitUntil([&] {
        const QByteArray now = activity(pid);
        quiet = (now == last && now.endsWith('S')) ? quiet + 1 : 0;
        last = now;
        return quiet >= 10;
    }, 20000);
}

void Guest::click(const char *name)
{
    const QByteArray before = activity(m_demo->processId());
    if (!m_desktop.click(m_origin + form1layout::placeInWindow(name).center()))
        fail(m_desktop.lastError());
    settle(before);
}

void Guest::chooseInList(const char *list, const QStringList &keys)
{
    const QStringList before = m_desktop.visibleWindowsOf(m_demo->processId());
    click(list);
    QString popup;
    waitUntil([&] {
        for (const QString &w : m_desktop.visibleWindowsOf(m_demo->processId())) {
            if (!before.contains(w))
                popup = w;
        }
        return !popup.isEmpty();
    }, 10000);
    if (popup.isEmpty())
        return fail(u"the list %1 did not drop down"_s.arg(QLatin1String(list)));
    m_desktop.key(keys);
    m_desktop.waitUntilGone(popup, m_demo->processId());
    settle();
}

// A monitor command for the host to carry out, through the shared folder.
bool Guest::askHost(const WindowStep &s, const QString &command)
{
    QFile request(m_out + u"/request-%1"_s.arg(s.number));
    if (!request.open(QIODevice::WriteOnly))
        return false;
    request.write(command.toUtf8());
    request.close();
    return QFile::rename(request.fileName(), request.fileName() + u".ready"_s);
}

bool Guest::waitForHost(const WindowStep &s)
{
    return waitUntil([&] { return QFile::exists(m_out + u"/done-%1"_s.arg(s.number)); }, 30000);
}

// The boxes that show now, each pictured and dismissed with Enter as a
// person would; their titles.
QStringList Guest::dismissBoxes(const WindowStep &s)
{
    QStringList titles;
    for (const QString &w : m_desktop.visibleWindowsOf(m_demo->processId())) {
        if (w == m_window)
            continue;
        titles << m_desktop.windowName(w);
        screenshot(w, u"box-%1-%2.png"_s.arg(s.number).arg(titles.size()));
        m_desktop.focus(w);
        m_desktop.key({u"Return"_s});
        m_desktop.waitUntilGone(w, m_demo->processId());
        settle();
    }
    return titles;
}

void Guest::screenshot(const QString &window, const QString &file)
{
    // Taken here, on the same X server: a program started for each picture
    // would take seconds under emulation.
    const QPixmap picture = QGuiApplication::primaryScreen()->grabWindow(window.toULongLong());
    if (picture.isNull() || !picture.save(m_out + u'/' + file))
        fail(u"no picture of window "_s + window);
}

bool Guest::step(const WindowStep &s)
{
    const QString ttyUsb = QLatin1String(devicePath(Device::Usb));
    mark(Phase::Begin, s.number);
    switch (s.gesture) {
    case Gesture::Open:
        click("chbEnabled");
        click("btUpdateSetting");
        break;
    case Gesture::Clear: click("btClear"); break;
    case Gesture::Text: click("btSendText"); break;
    case Gesture::Alphabet: click("btABC"); break;
    case Gesture::ChangeWhileOpen:
        chooseInList("cbParity", {u"Home"_s, u"Down"_s, u"Down"_s, u"Return"_s});
        chooseInList("cbDataBits", {u"Home"_s, u"Down"_s, u"Down"_s, u"Return"_s});
        click("btUpdateSetting");
        break;
    case Gesture::Close:
        click("chbEnabled");
        click("btUpdateSetting");
        break;
    case Gesture::Pull:
        if (!askHost(s, u"device_del ftdi"_s) || !waitForHost(s)
            || !waitUntil([&] { return !QFileInfo::exists(ttyUsb); }, 30000))
            fail(u"the adapter did not go"_s);
        settle();
        break;
    case Gesture::PlugBack:
        if (!askHost(s, u"device_add usb-serial,chardev=ftdi,id=ftdi"_s) || !waitForHost(s)
            || !waitUntil([&] { return QFileInfo::exists(ttyUsb); }, 30000))
            fail(u"the adapter did not come back"_s);
        settle();
        break;
    case Gesture::Update: click("btUpdateSetting"); break;
    case Gesture::PullDuringAlphabet:
        // The host pulls the adapter as the button goes down.
        askHost(s, u"device_del ftdi"_s);
        click("btABC");
        if (!waitForHost(s) || !waitUntil([&] { return !QFileInfo::exists(ttyUsb); }, 30000))
            fail(u"the adapter did not go"_s);
        settle();
        break;
    }
    const QStringList boxes = dismissBoxes(s);
    screenshot(m_window, u"window-%1.png"_s.arg(s.number));
    mark(Phase::End, s.number);
    QJsonObject note{{u"step"_s, s.number}, {u"boxes"_s, QJsonArray::fromStringList(boxes)},
                     {u"running"_s, m_demo->state() == QProcess::Running}};
    m_notes.write(QJsonDocument(note).toJson(QJsonDocument::Compact) + '\n');
    m_notes.flush();
    return m_demo->state() == QProcess::Running;
}

bool Guest::run()
{
    m_notes.setFileName(m_out + u"/window.jsonl"_s);
    if (!m_notes.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    std::optional<Device> current;
    for (const WindowStep &s : windowSteps()) {
        if (current != s.device) {
            stopWindow();
            current = s.device;
            if (!startWindow(s.device))
                return false;
        }
        if (!step(s))
            return fail(u"the program ended at step %1"_s.arg(s.number)), false;
    }
    stopWindow();
    return !m_failed;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: hw-window OUTDIR\n");
        return 2;
    }
    if (!reachMarkPort("hw-window"))
        return 1;
    const QString out = QString::fromLocal8Bit(argv[1]);
    // One X server for both devices (under emulation it takes its time to
    // start), and this program on it too, to take the pictures.
    XServer server;
    if (const QString error = server.start(out + u"/xvfb.log"_s, 120000); !error.isEmpty()) {
        std::fprintf(stderr, "hw-window: %s\n", qPrintable(error));
        return 1;
    }
    qputenv("DISPLAY", server.display().toLocal8Bit());
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication app(argc, argv);
    return Guest(out, server).run() ? 0 : 1;
}
