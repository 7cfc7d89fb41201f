// The real program, end to end: vkd417-demo runs on an X server of the test's
// own (Xvfb) with COM1 linked to a pseudo-terminal, and the test works it as
// a person would, with the pointer and the keyboard (xdotool), then compares
// what arrives on the line. Nothing of the window is linked in: the places to
// click come from the layout table that the window test checks the window
// against.

#include "form1layout.h"
#include "jsonlines.h"
#include "waitfor.h"
#include "pseudoterminal.h"
#include "xsession.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <memory>

using namespace Qt::StringLiterals;

namespace {

const QString windowTitle = u"^Zelvar VKD-417 Demo$"_s;
constexpr unsigned defaultPtySpeed = 38400; // what a new pseudo-terminal has

// The Windows build instead of the Linux one (scripts/windows): the program
// runs under wine, whose COM1..COM8 lead to links named like the port links
// of the Linux program in the folder VKD_E2E_WINE_PORTS; that folder is a
// link itself, pointed at the test's own link folder. Wine, its prefix and
// its hiding of the machine's serial devices are set up by the caller.
QString windowsProgram()
{
    return qEnvironmentVariable("VKD_E2E_WINDOWS_PROGRAM");
}

// Checks a step that reports its own failure through QTest and stops the
// test there.
#define STEP(call)                                                                                                    \
    do {                                                                                                              \
        call;                                                                                                         \
        if (QTest::currentTestFailed())                                                                               \
            return;                                                                                                   \
    } while (false)

QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// A program of the test's own (the demo, the monitor), stopped at the end
// however the test ends; it goes with the test even when the test is killed.
class Program
{
public:
    Program(const QString &path, const QProcessEnvironment &env, const QString &outputPath)
    {
        m_process.setProgram(path);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.setStandardOutputFile(outputPath);
        m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    }
    ~Program() { stop(); }

    bool start(const QStringList &arguments)
    {
        m_process.setArguments(arguments);
        m_process.start();
        if (!m_process.waitForStarted(10000))
            return false;
        m_process.closeWriteChannel();
        return true;
    }
    void stop()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        m_process.terminate();
        if (!m_process.waitForFinished(5000)) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }
    qint64 pid() const { return m_process.processId(); }
    bool running() const { return m_process.state() == QProcess::Running; }
    // "exit N" once it has ended by itself, "crashed" when a signal ended it,
    // "running" when it is still there after timeoutMs.
    QString waitForEnd(int timeoutMs)
    {
        if (!m_process.waitForFinished(timeoutMs) && m_process.state() != QProcess::NotRunning)
            return u"running"_s;
        return m_process.exitStatus() == QProcess::NormalExit ? u"exit %1"_s.arg(m_process.exitCode()) : u"crashed"_s;
    }
    QString errorString() const { return m_process.errorString(); }

private:
    QProcess m_process;
};

// The lock file that a program holding the device keeps in the lock folder
// while it has it open.
QString lockFilePath(const QString &device)
{
    return u"/run/lock/LCK.."_s + QString(device).remove(0, 5).replace(u'/', u'_');
}

// Opens the device as the unprivileged user nobody, as any other program of
// the bench would; gives 0 or the errno of the failure (-1 when the test
// cannot tell).
int openAsNobody(const QString &device)
{
    const passwd *nobody = ::getpwnam("nobody");
    if (!nobody)
        return -1;
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const QByteArray path = QFile::encodeName(device);
    const pid_t child = ::fork();
    if (child < 0)
        return -1;
    if (child == 0) {
        // Only async-signal-safe calls between fork and _exit.
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(255);
        const int fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        ::_exit(fd >= 0 ? 0 : errno);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) && WEXITSTATUS(status) != 255 ? WEXITSTATUS(status) : -1;
}

QString describeTermios(const termios &t)
{
    QString cc;
    for (const cc_t c : t.c_cc)
        cc += u"%1 "_s.arg(c);
    return u"iflag %1 oflag %2 cflag %3 lflag %4 ispeed %5 ospeed %6 cc %7"_s.arg(t.c_iflag, 0, 8)
        .arg(t.c_oflag, 0, 8)
        .arg(t.c_cflag, 0, 8)
        .arg(t.c_lflag, 0, 8)
        .arg(::cfgetispeed(&t))
        .arg(::cfgetospeed(&t))
        .arg(cc.trimmed());
}

QString readText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void displayButtonsSilentBeforeOpen();
    void framedButtons();
    void textAndCodes();
    void rateAndStopBitsOnTheLine();
    void portThatCannotOpen();
    void monitorReportsTheSameCommands();
    void endedBySignal_data();
    void endedBySignal();
    void endedBySignalWhileABoxIsUp();

private:
    QString artifact(const QString &name) const { return m_artifacts + u'/' + name; }
    QPoint at(const char *name) const { return m_origin + form1layout::placeInWindow(name).center(); }
    QString why() const { return m_desktop ? m_desktop->lastError() : QString(); }

    void click(const char *name);
    void clickPoint(QPoint point);
    void spinner(bool up);
    void openPort(); // ticks "Открыт", presses "Обновить", waits for 9600 baud
    void expectBytes(const QByteArray &expected, const char *what);
    void expectQuiet(const char *what);
    void sends(const char *button, const QByteArray &expected);
    void chooseInList(const char *list, const QStringList &keys);
    void typeInto(const char *field, const QString &text);
    bool waitForSpeed(unsigned speed, int timeoutMs = 5000) const;
    void screenshot(const QString &window, const QString &file);

    QString m_artifacts;
    std::unique_ptr<XServer> m_server;
    std::unique_ptr<Desktop> m_desktop;
    std::unique_ptr<PortLinks> m_links;
    std::unique_ptr<PseudoTerminal> m_line;
    std::unique_ptr<Program> m_demo;
    std::unique_ptr<Program> m_monitor;
    QString m_window;
    QPoint m_origin;
};

void TestEndToEnd::init()
{
    m_artifacts = QStringLiteral(VKD_E2E_ARTIFACTS "/") + QString::fromLatin1(QTest::currentTestFunction());
    QDir(m_artifacts).removeRecursively();
    QVERIFY(QDir().mkpath(m_artifacts));

    m_server = std::make_unique<XServer>();
    const QString error = m_server->start(artifact(u"xvfb.log"_s));
    QVERIFY2(error.isEmpty(), qPrintable(error));
    m_desktop = std::make_unique<Desktop>(*m_server);

    m_links = std::make_unique<PortLinks>();
    m_line = std::make_unique<PseudoTerminal>();
    QVERIFY(m_line->isValid());
    QVERIFY(m_links->link(u"COM1"_s, m_line->devicePath()));
    QCOMPARE(m_line->settings().outputSpeed, defaultPtySpeed);

    QProcessEnvironment env = m_server->environment();
    env.insert(u"XDG_CONFIG_HOME"_s, m_links->folder());
    env.insert(u"XDG_RUNTIME_DIR"_s, m_links->folder());
    if (const QString exe = windowsProgram(); !exe.isEmpty()) {
        const QString wineLinks = qEnvironmentVariable("VKD_E2E_WINE_PORTS");
        QVERIFY2(!wineLinks.isEmpty(), "VKD_E2E_WINE_PORTS names no folder for wine's COM links");
        QFile::remove(wineLinks);
        QVERIFY(QFile::link(m_links->folder() + u"/vkd417-demo/ports"_s, wineLinks));
        env.remove(u"QT_QPA_PLATFORM"_s);
        m_demo = std::make_unique<Program>(u"wine"_s, env, artifact(u"vkd417-demo.log"_s));
        QVERIFY2(m_demo->start({exe}), qPrintable(m_demo->errorString()));
    } else {
        m_demo = std::make_unique<Program>(QStringLiteral(VKD_DEMO_PROGRAM), env, artifact(u"vkd417-demo.log"_s));
        QVERIFY2(m_demo->start({}), qPrintable(m_demo->errorString()));
    }

    m_window = m_desktop->waitForWindow(windowTitle, m_demo->pid());
    QVERIFY2(!m_window.isEmpty(), qPrintable(why() + u"; the program said: "_s + readText(artifact(u"vkd417-demo.log"_s))));
    const QRect geometry = m_desktop->geometry(m_window);
    // No window manager: the window stands where it put itself. Under wine
    // the X window is its client area, below the frame that wine keeps room
    // for (a title bar, and a border that Qt and wine measure a little
    // differently) at that place.
    if (windowsProgram().isEmpty()) {
        QCOMPARE(geometry, QRect(295, 122, 394, 283));
    } else {
        QCOMPARE(geometry.size(), QSize(394, 283));
        QVERIFY2(QRect(285, 122, 24, 48).contains(geometry.topLeft()),
                 qPrintable(u"the client area is at %1,%2"_s.arg(geometry.x()).arg(geometry.y())));
    }
    m_origin = geometry.topLeft();
}

void TestEndToEnd::cleanup()
{
    // The picture of how the window was left, failed or not.
    if (m_desktop && !m_window.isEmpty() && m_demo && m_demo->running())
        screenshot(m_window, u"window.png"_s);
    if (QTest::currentTestFailed() && !m_artifacts.isEmpty()) {
        qWarning("artifacts (screenshots, logs) are in %s", qPrintable(m_artifacts));
        if (const QString said = readText(artifact(u"vkd417-demo.log"_s)); !said.isEmpty())
            qWarning("vkd417-demo said:\n%s", qPrintable(said));
    }
    m_monitor.reset();
    m_demo.reset();
    m_desktop.reset();
    m_server.reset();
    m_line.reset();
    m_links.reset();
    m_window.clear();
}

void TestEndToEnd::screenshot(const QString &window, const QString &file)
{
    const ToolResult r = runTool(QStringLiteral(VKD_GRAB_PROGRAM), {window, artifact(file)}, m_server->environment());
    if (!r.ok)
        qWarning("no screenshot: %s", qPrintable(r.error));
}

void TestEndToEnd::clickPoint(QPoint point)
{
    QVERIFY2(m_desktop->click(point), qPrintable(why()));
}

void TestEndToEnd::click(const char *name)
{
    clickPoint(at(name));
}

void TestEndToEnd::spinner(bool up)
{
    // The spinner is its two arrows, the upper half and the lower half.
    const QRect r = form1layout::placeInWindow("udDemoMode").translated(m_origin);
    const int half = r.height() / 2;
    clickPoint(up ? QPoint(r.center().x(), r.top() + half / 2) : QPoint(r.center().x(), r.top() + half + (r.height() - half) / 2));
}

bool TestEndToEnd::waitForSpeed(unsigned speed, int timeoutMs) const
{
    return waitFor([&] { return m_line->settings().outputSpeed == speed; }, timeoutMs);
}

void TestEndToEnd::openPort()
{
    STEP(click("chbEnabled"));
    STEP(click("btUpdateSetting"));
    QVERIFY2(waitForSpeed(9600), qPrintable(u"the port did not open at 9600 baud; the line is at %1"_s.arg(
                                      m_line->settings().outputSpeed)));
}

void TestEndToEnd::expectBytes(const QByteArray &expected, const char *what)
{
    const QByteArray got = m_line->readExactly(expected.size(), 5000);
    QVERIFY2(got == expected, qPrintable(u"%1: got [%2], expected [%3]"_s.arg(QLatin1String(what), hex(got), hex(expected))));
    // And nothing after it.
    const QByteArray more = m_line->readAvailable(150);
    QVERIFY2(more.isEmpty(), qPrintable(u"%1: more bytes than expected: [%2]"_s.arg(QLatin1String(what), hex(more))));
}

void TestEndToEnd::expectQuiet(const char *what)
{
    const QByteArray got = m_line->readAvailable(150);
    QVERIFY2(got.isEmpty(), qPrintable(u"%1: the line got [%2]"_s.arg(QLatin1String(what), hex(got))));
}

void TestEndToEnd::sends(const char *button, const QByteArray &expected)
{
    STEP(click(button));
    STEP(expectBytes(expected, button));
}

void TestEndToEnd::chooseInList(const char *list, const QStringList &keys)
{
    // The drop-down list is a window of its own while it is open: wait for
    // it, choose with the keys, and wait until it has gone.
    const QStringList before = m_desktop->visibleWindowsOf(m_demo->pid());
    STEP(click(list));
    QString popup;
    QVERIFY2(waitFor([&] {
                 for (const QString &w : m_desktop->visibleWindowsOf(m_demo->pid())) {
                     if (!before.contains(w))
                         popup = w;
                 }
                 return !popup.isEmpty();
             }),
             qPrintable(u"the list %1 did not drop down"_s.arg(QLatin1String(list))));
    QVERIFY2(m_desktop->key(keys), qPrintable(why()));
    QVERIFY2(m_desktop->waitUntilGone(popup, m_demo->pid()), qPrintable(why()));
}

void TestEndToEnd::typeInto(const char *field, const QString &text)
{
    // No window manager gives the window the keyboard: the test does, then
    // clicks into the field, selects what is there and types over it.
    QVERIFY2(m_desktop->focus(m_window), qPrintable(why()));
    STEP(click(field));
    QVERIFY2(m_desktop->key({u"ctrl+a"_s, u"BackSpace"_s}), qPrintable(why()));
    if (!text.isEmpty())
        QVERIFY2(m_desktop->type(text), qPrintable(why()));
}

// After start nothing goes out, whatever is pressed, until the port is
// opened; and opening it sends nothing either.
void TestEndToEnd::displayButtonsSilentBeforeOpen()
{
    STEP(typeInto("edCode", u"65"_s));
    for (const char *name : {"btClear", "btCursor", "btRusSet", "btUSset", "btGermany", "btSaveDemo", "btViewDemo",
                             "btPrinterON", "btPrinterOFF", "btSetup", "btSendText", "btSendCode", "btABC"})
        STEP(click(name));
    STEP(spinner(true));
    STEP(click("btViewDemo"));
    // "Обновить" without "Открыт" opens nothing.
    STEP(click("btUpdateSetting"));

    // The program handles input in order: once the port is open, every click
    // before has been handled, and none of them may have put a byte out.
    STEP(openPort());
    STEP(expectQuiet("before and at the opening"));
    // The clicks reach their buttons: now they send.
    STEP(sends("btClear", QByteArray::fromHex("040143315817")));
    STEP(sends("btSendCode", "A"));
}

void TestEndToEnd::framedButtons()
{
    STEP(openPort());
    STEP(expectQuiet("at the opening"));
    STEP(sends("btClear", QByteArray::fromHex("040143315817")));
    STEP(sends("btCursor", QByteArray::fromHex("0401503117")));
    STEP(sends("btRusSet", QByteArray::fromHex("0401493A17")));
    STEP(sends("btUSset", QByteArray::fromHex("0401493017")));
    STEP(sends("btGermany", QByteArray::fromHex("0401493217")));
    STEP(sends("btSaveDemo", QByteArray::fromHex("0401533217")));
    STEP(sends("btPrinterON", QByteArray::fromHex("04011B4717")));
    STEP(sends("btPrinterOFF", QByteArray::fromHex("04011B5317")));

    // The demo in the mode the spinner shows: 1 at first, 3 after two steps
    // up, 2 after one down.
    STEP(sends("btViewDemo", QByteArray::fromHex("040144323117")));
    STEP(spinner(true));
    STEP(spinner(true));
    STEP(sends("btViewDemo", QByteArray::fromHex("040144323317")));
    STEP(spinner(false));
    STEP(sends("btViewDemo", QByteArray::fromHex("040144323217")));

    // The display's own rate, chosen in the list; the port keeps its 9600.
    STEP(sends("btSetup", QByteArray::fromHex("040142314E17"))); // 9600
    STEP(chooseInList("cbBaud", {u"Home"_s, u"Return"_s}));      // 300
    STEP(sends("btSetup", QByteArray::fromHex("040142364E17")));
    STEP(chooseInList("cbBaud", {u"Down"_s, u"Down"_s, u"Down"_s, u"Return"_s})); // 2400
    STEP(sends("btSetup", QByteArray::fromHex("040142334E17")));
    QCOMPARE(m_line->settings().outputSpeed, 9600u);
}

void TestEndToEnd::textAndCodes()
{
    STEP(openPort());
    // The greeting the field starts with, in code page 866.
    STEP(sends("btSendText", QByteArray::fromHex("84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC21")));

    // A line typed in: every Russian letter, both cases; "Ё" and "ё" keep
    // their Windows-1251 bytes, as the program's conversion has it.
    STEP(typeInto("edText", u"Съешь же ещё этих мягких французских булок, да выпей чаю! ЁЖ"_s));
    STEP(sends("btSendText", QByteArray::fromHex("91eaa5e8ec20a6a520a5e9b820ede2a8e520acefa3aaa8e520e4e0a0ade6e3a7e1aaa8e5"
                                                  "20a1e3abaeaa2c20a4a020a2ebafa5a920e7a0ee2120a886")));

    STEP(typeInto("edCode", u"65"_s));
    STEP(sends("btSendCode", "A"));
    STEP(typeInto("edCode", u"$E0"_s));
    STEP(sends("btSendCode", "\xE0"));

    STEP(sends("btABC", QByteArray::fromHex("808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9F"
                                            "A0A1A2A3A4A5A6A7")));
}

// The rate and the stop bits chosen in the window reach the line at
// "Обновить", the port staying open, and the bytes follow under them.
void TestEndToEnd::rateAndStopBitsOnTheLine()
{
    constexpr unsigned cstopb = 0000100;
    STEP(openPort());
    QCOMPARE(m_line->settings().cflag & cstopb, 0u);

    STEP(chooseInList("cbBaud", {u"Home"_s, u"Down"_s, u"Down"_s, u"Down"_s, u"Return"_s})); // 2400
    STEP(chooseInList("cbStopBits", {u"End"_s, u"Return"_s}));                              // 2
    STEP(click("btUpdateSetting"));
    QVERIFY2(waitForSpeed(2400), qPrintable(u"the line is at %1"_s.arg(m_line->settings().outputSpeed)));
    QCOMPARE(m_line->settings().cflag & cstopb, cstopb);
    STEP(sends("btCursor", QByteArray::fromHex("0401503117")));

    STEP(chooseInList("cbBaud", {u"End"_s, u"Return"_s}));      // 19200
    STEP(chooseInList("cbStopBits", {u"Home"_s, u"Return"_s})); // 1
    STEP(click("btUpdateSetting"));
    QVERIFY2(waitForSpeed(19200), qPrintable(u"the line is at %1"_s.arg(m_line->settings().outputSpeed)));
    QCOMPARE(m_line->settings().cflag & cstopb, 0u);
    STEP(sends("btClear", QByteArray::fromHex("040143315817")));
}

void TestEndToEnd::portThatCannotOpen()
{
    // COM2 is linked to nothing.
    STEP(chooseInList("cbComm", {u"Down"_s, u"Return"_s}));
    STEP(click("chbEnabled"));
    STEP(click("btUpdateSetting"));

    const QString box = m_desktop->waitForWindow(u"^Open Error$"_s, m_demo->pid());
    QVERIFY2(!box.isEmpty(), qPrintable(why()));
    QCOMPARE(m_desktop->windowName(box), u"Open Error"_s);
    screenshot(u"0"_s, u"open-error.png"_s);
    // Dismissed with Enter, as a person would once it has the keyboard.
    QVERIFY2(m_desktop->focus(box), qPrintable(why()));
    QVERIFY2(m_desktop->key({u"Return"_s}), qPrintable(why()));
    QVERIFY2(m_desktop->waitUntilGone(box, m_demo->pid()), qPrintable(why()));
    QVERIFY(m_demo->running());
    QCOMPARE(m_line->settings().outputSpeed, defaultPtySpeed);

    // Back to COM1. The check box was cleared: one click ticks it again, and
    // the port opens (had it stayed ticked, the click would clear it and the
    // port would stay shut).
    STEP(chooseInList("cbComm", {u"Up"_s, u"Return"_s}));
    STEP(openPort());
    STEP(expectQuiet("at the opening"));
    STEP(sends("btCursor", QByteArray::fromHex("0401503117")));
}

// vkd417-monitor on the line instead of the test: it links COM1 to a
// terminal of its own, and its log tells the same commands and text.
void TestEndToEnd::monitorReportsTheSameCommands()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"XDG_CONFIG_HOME"_s, m_links->folder());
    const QString log = artifact(u"monitor.jsonl"_s);
    m_monitor = std::make_unique<Program>(QStringLiteral(VKD_MONITOR_PROGRAM), env, artifact(u"monitor.txt"_s));
    QVERIFY(m_monitor->start({u"--link"_s, u"COM1"_s, u"--force"_s, u"--log"_s, log}));
    const QString link = m_links->folder() + u"/vkd417-demo/ports/COM1"_s;
    QString device;
    QVERIFY2(waitFor([&] {
                 device = QFileInfo(link).symLinkTarget();
                 return device.startsWith("/dev/pts/"_L1) && device != m_line->devicePath();
             }),
             qPrintable(u"the monitor did not link COM1: "_s + readText(artifact(u"monitor.txt"_s))));

    const auto ofKind = [&](const QString &kind) {
        QList<QJsonObject> out;
        for (const QJsonObject &e : readJsonLines(log)) {
            if (e.value("kind"_L1).toString() == kind)
                out << e;
        }
        return out;
    };

    STEP(click("chbEnabled"));
    STEP(click("btUpdateSetting"));
    QVERIFY2(waitFor([&] {
                 const QList<QJsonObject> s = ofKind(u"settings"_s);
                 return !s.isEmpty() && s.last().value("baud"_L1).toInt() == 9600;
             }),
             "the monitor did not see the port opened at 9600 baud");

    STEP(click("btClear"));
    STEP(click("btCursor"));
    STEP(click("btRusSet"));
    STEP(spinner(true));
    STEP(spinner(true));
    STEP(click("btViewDemo"));
    STEP(chooseInList("cbBaud", {u"Up"_s, u"Return"_s})); // 4800
    STEP(click("btSetup"));
    STEP(click("btPrinterOFF"));
    STEP(click("btSendText"));
    STEP(typeInto("edCode", u"65"_s));
    STEP(click("btSendCode"));
    STEP(click("btABC"));

    const QByteArray sent = QByteArray::fromHex("040143315817" "0401503117" "0401493A17" "040144323317" "040142324E17"
                                                "04011B5317" "84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC21" "41"
                                                "808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9F"
                                                "A0A1A2A3A4A5A6A7");
    QByteArray bytes;
    QList<QJsonObject> events;
    const bool all = waitFor(
        [&] {
            events.clear();
            bytes.clear();
            for (const QJsonObject &e : readJsonLines(log)) {
                const QString kind = e.value("kind"_L1).toString();
                if (kind == "start"_L1 || kind == "settings"_L1)
                    continue;
                events << e;
                bytes += QByteArray::fromHex(e.value("bytes"_L1).toString().toLatin1());
            }
            return bytes.size() >= sent.size();
        },
        10000);
    QVERIFY2(all, qPrintable(u"the monitor logged only [%1]"_s.arg(hex(bytes))));
    QCOMPARE(hex(bytes), hex(sent));

    QStringList commands;
    QString text;
    for (const QJsonObject &e : events) {
        const QString kind = e.value("kind"_L1).toString();
        if (kind == "command"_L1)
            commands << e.value("summary"_L1).toString();
        else if (kind == "text"_L1)
            text += e.value("text"_L1).toString();
        else
            QFAIL(qPrintable(u"unexpected event: "_s + QString::fromUtf8(QJsonDocument(e).toJson(QJsonDocument::Compact))));
    }
    QCOMPARE(commands, (QStringList{u"clear"_s, u"cursor"_s, u"Russian character set"_s,
                                    u"show demo, mode 3 (blinking)"_s, u"display baud rate 4800"_s,
                                    u"printer off"_s}));
    QCOMPARE(text, u"Добро пожаловать!AАБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежз"_s);

    // The screen says the same, one line an event.
    m_monitor->stop();
    const QString screen = readText(artifact(u"monitor.txt"_s));
    for (const QString &line : {u"command   clear"_s, u"command   show demo, mode 3 (blinking)"_s,
                                u"\"Добро пожаловать!"_s, u"9600 baud"_s})
        QVERIFY2(screen.contains(line), qPrintable(u"no \"%1\" on the monitor's screen:\n"_s.arg(line) + screen));
}

void TestEndToEnd::endedBySignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM (kill, scripts/run ended)") << int(SIGTERM);
    QTest::newRow("SIGINT (Ctrl+C in its terminal)") << int(SIGINT);
    QTest::newRow("SIGHUP (its terminal closed)") << int(SIGHUP);
}

// A program ended from outside while the port is open leaves the port as
// closing the window does: no lock file, no exclusive mode, the device's
// settings as they were; another user opens it at once.
void TestEndToEnd::endedBySignal()
{
    QFETCH(int, signalNumber);
    if (!windowsProgram().isEmpty())
        QSKIP("POSIX signals, lock files and exclusive mode belong to the Linux program");
    if (::geteuid() != 0 || !::getpwnam("nobody"))
        QSKIP("needs root and the user nobody");

    const QString device = m_line->devicePath();
    // Anyone may open the terminal, so that only exclusive mode can stop them.
    QVERIFY(::chmod(QFile::encodeName(device).constData(), 0666) == 0);
    QCOMPARE(openAsNobody(device), 0);
    // A few settings of the device's own that the program's would change.
    termios before{};
    QVERIFY(::tcgetattr(m_line->masterFd(), &before) == 0);
    before.c_iflag |= IXON | ICRNL;
    before.c_oflag |= OPOST | ONLCR;
    before.c_lflag |= ICANON | ECHO | ISIG;
    ::cfsetispeed(&before, B4800);
    ::cfsetospeed(&before, B4800);
    QVERIFY(::tcsetattr(m_line->masterFd(), TCSANOW, &before) == 0);
    QVERIFY(::tcgetattr(m_line->masterFd(), &before) == 0);

    STEP(openPort());
    STEP(sends("btClear", QByteArray::fromHex("040143315817")));
    // While the program has the port, the port is its own.
    const QString lock = lockFilePath(device);
    QVERIFY2(QFileInfo::exists(lock), qPrintable(lock));
    QCOMPARE(openAsNobody(device), EBUSY);

    QVERIFY(::kill(static_cast<pid_t>(m_demo->pid()), signalNumber) == 0);
    QCOMPARE(m_demo->waitForEnd(10000), u"exit 0"_s);

    QVERIFY2(!QFileInfo::exists(lock), qPrintable(lock + u" is still there"_s));
    QCOMPARE(openAsNobody(device), 0);
    termios after{};
    QVERIFY(::tcgetattr(m_line->masterFd(), &after) == 0);
    QCOMPARE(describeTermios(after), describeTermios(before));
    expectQuiet("after the end");
}

// A box waits for the operator in an event loop of its own; a signal must
// still end the program, not wait behind the box.
void TestEndToEnd::endedBySignalWhileABoxIsUp()
{
    if (!windowsProgram().isEmpty())
        QSKIP("POSIX signals belong to the Linux program");
    // COM2 is linked to nothing.
    STEP(chooseInList("cbComm", {u"Down"_s, u"Return"_s}));
    STEP(click("chbEnabled"));
    STEP(click("btUpdateSetting"));
    QVERIFY2(!m_desktop->waitForWindow(u"^Open Error$"_s, m_demo->pid()).isEmpty(), qPrintable(why()));

    QVERIFY(::kill(static_cast<pid_t>(m_demo->pid()), SIGTERM) == 0);
    QCOMPARE(m_demo->waitForEnd(10000), u"exit 0"_s);
}

QTEST_GUILESS_MAIN(TestEndToEnd)
#include "tst_e2e.moc"
