// The faults a bench sees, through the real window on pseudo-terminals: a
// line that stalls, a device that goes away (between sends and in the middle
// of one), ports that cannot be opened for each of the usual reasons, an
// operator pressing a thousand buttons, and a megabyte of text.
#include "comled.h"
#include "comport.h"
#include "form1.h"
#include "pseudoterminal.h"
#include "windowtesting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <thread>

#include <fcntl.h>
#include <grp.h>
#include <pthread.h>
#include <sched.h>
#include <poll.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

cpu_set_t currentCpus()
{
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    ::pthread_getaffinity_np(::pthread_self(), sizeof cpus, &cpus);
    return cpus;
}

void pinTo(int cpu)
{
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    ::pthread_setaffinity_np(::pthread_self(), sizeof one, &one);
}

// The process's CPU time, all threads together, in seconds.
double cpuSeconds()
{
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

// The CPU time the program takes while it waits a second for the operator.
// A program that spins on a dead line takes nearly all of it.
double cpuDuringQuietSecond()
{
    const double before = cpuSeconds();
    QTest::qWait(1000);
    return cpuSeconds() - before;
}

const QByteArray clearFrame = QByteArray::fromHex("040143315817");
const QByteArray cursorFrame = QByteArray::fromHex("0401503117");

// Each button with what it sends, as the display's manual has it, with the
// window's defaults (demo mode 1, 9600 bit/s, the greeting as the text) and
// 65 in the code field.
struct Press
{
    const char *button;
    QByteArray bytes;
};

QByteArray alphabet()
{
    QByteArray letters;
    for (int b = 0x80; b <= 0xA7; ++b)
        letters.append(char(b));
    return letters;
}

const QList<Press> &allPresses()
{
    static const QList<Press> presses = {
        {"btClear", clearFrame},
        {"btCursor", cursorFrame},
        {"btRusSet", QByteArray::fromHex("0401493A17")},
        {"btUSset", QByteArray::fromHex("0401493017")},
        {"btGermany", QByteArray::fromHex("0401493217")},
        {"btSaveDemo", QByteArray::fromHex("0401533217")},
        {"btViewDemo", QByteArray::fromHex("040144323117")},
        {"btPrinterON", QByteArray::fromHex("04011B4717")},
        {"btPrinterOFF", QByteArray::fromHex("04011B5317")},
        {"btSetup", QByteArray::fromHex("040142314E17")},
        {"btSendText", QByteArray::fromHex("84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC21")},
        {"btSendCode", QByteArray("A")},
        {"btABC", alphabet()},
    };
    return presses;
}

// A text of 1 MiB characters, Cyrillic and ASCII, and the bytes it is on
// the line (code page 866).
constexpr qsizetype megabyte = 1 << 20;

QString megabyteText()
{
    const QString pattern = QStringLiteral("Добро пожаловать! ");
    QString text;
    text.reserve(megabyte + pattern.size());
    while (text.size() < megabyte)
        text += pattern;
    text.truncate(megabyte);
    return text;
}

QByteArray megabyteBytes()
{
    const QByteArray pattern = QByteArray::fromHex("84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC2120");
    QByteArray bytes;
    bytes.reserve(megabyte + pattern.size());
    while (bytes.size() < megabyte)
        bytes += pattern;
    bytes.truncate(megabyte);
    return bytes;
}

// Reads the far end of a terminal on a thread of its own, as a display
// does, resting `pause` after each read, while the window writes.
class FarEndReader
{
public:
    explicit FarEndReader(int masterFd, std::chrono::milliseconds pause = 0ms)
        : m_fd(masterFd), m_pause(pause), m_thread([this] { run(); })
    {
    }
    ~FarEndReader()
    {
        m_stop = true;
        m_thread.join();
    }
    FarEndReader(const FarEndReader &) = delete;
    FarEndReader &operator=(const FarEndReader &) = delete;

    QByteArray received() const
    {
        std::lock_guard lock(m_mutex);
        return m_data;
    }
    // Waits (the window's events going on) until n bytes have come, or
    // none has for quietMs.
    void waitFor(qsizetype n, int quietMs = 2000)
    {
        QElapsedTimer quiet;
        quiet.start();
        for (qsizetype had = received().size(); had < n && quiet.elapsed() < quietMs;) {
            QTest::qWait(10);
            if (const qsizetype now = received().size(); now != had) {
                had = now;
                quiet.restart();
            }
        }
    }

private:
    void run()
    {
        std::vector<char> buf(1 << 16);
        while (!m_stop) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0 || !(p.revents & POLLIN))
                continue;
            const ssize_t n = ::read(m_fd, buf.data(), buf.size());
            if (n > 0) {
                std::lock_guard lock(m_mutex);
                m_data.append(buf.data(), n);
            }
            if (m_pause > 0ms)
                std::this_thread::sleep_for(m_pause);
        }
    }

    const int m_fd;
    const std::chrono::milliseconds m_pause;
    std::atomic<bool> m_stop{false};
    mutable std::mutex m_mutex;
    QByteArray m_data;
    std::thread m_thread;
};

// Another program on the machine, started for one test and ended with it.
// It counts as started once it has said readyLine.
class OtherProgram
{
public:
    OtherProgram(const QString &program, const QStringList &arguments, const QByteArray &readyLine)
    {
        m_process.setProgram(program);
        m_process.setArguments(arguments);
        m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_process.start();
        QElapsedTimer timer;
        timer.start();
        while (!m_ready && timer.elapsed() < 30000 && m_process.state() != QProcess::NotRunning) {
            m_process.waitForReadyRead(100);
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine().trimmed();
                m_said += line + '\n';
                m_ready = m_ready || line == readyLine;
            }
        }
    }
    ~OtherProgram() { end(); }
    OtherProgram(const OtherProgram &) = delete;
    OtherProgram &operator=(const OtherProgram &) = delete;

    bool isReady() const { return m_ready; }
    QByteArray said() const { return m_said; }
    qint64 pid() const { return m_process.processId(); }
    // Closes its input, which ends each of the programs used here.
    bool end()
    {
        if (m_process.state() == QProcess::NotRunning)
            return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(30000)) {
            m_process.kill();
            m_process.waitForFinished();
            return false;
        }
        return m_process.exitStatus() == QProcess::NormalExit && m_process.exitCode() == 0;
    }

private:
    QProcess m_process;
    bool m_ready = false;
    QByteArray m_said;
};

// A lock file as minicom, cu and other UUCP-minded programs write it (HDB
// UUCP): the holder's process number in ten columns, in the lock folder,
// named after the device. Removed when done, unless someone replaced it.
class UucpLockFile
{
public:
    UucpLockFile(const QString &device, qint64 pid)
        : m_path(QStringLiteral("/var/lock/LCK..")
                 + QString(device).remove(0, 5).replace(QLatin1Char('/'), QLatin1Char('_'))),
          m_content(QByteArray::number(pid).rightJustified(10, ' ') + '\n')
    {
        QFile file(m_path);
        m_ok = device.startsWith(QLatin1String("/dev/")) && !file.exists()
            && file.open(QIODevice::WriteOnly | QIODevice::NewOnly) && file.write(m_content) == m_content.size();
    }
    ~UucpLockFile()
    {
        QFile file(m_path);
        if (m_ok && file.open(QIODevice::ReadOnly) && file.readAll() == m_content)
            QFile::remove(m_path);
    }
    UucpLockFile(const UucpLockFile &) = delete;
    UucpLockFile &operator=(const UucpLockFile &) = delete;

    bool isValid() const { return m_ok; }
    QString path() const { return m_path; }

private:
    QString m_path;
    QByteArray m_content;
    bool m_ok = false;
};

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void stalledLineGivesOneBoxAndDiscardsTheRest();
    void deviceGoneBetweenSends();
    void deviceGoneDuringAlphabetRun();
    void openFails_data();
    void openFails();
    void openFailsWhileAnotherProgramHoldsThePort_data();
    void openFailsWhileAnotherProgramHoldsThePort();
    void openFailsWithoutPermission();
    void neverOpensAnotherSessionsTerminal();
    void thousandPressesArriveWholeAndInOrder();
    void megabyteOfTextGoesOutWhole();

private:
    template<typename T = QWidget>
    T *control(const char *name) const { return findControl<T>(m_form.get(), name); }
    void click(const char *name) { QTest::mouseClick(control<QPushButton>(name), Qt::LeftButton); }
    void openPort(const QString &name = QStringLiteral("COM1"));
    bool lampLit() const { return control<ComLed>("ComLed1")->isLit(); }
    QString lampToolTip() const { return control<ComLed>("ComLed1")->toolTip(); }
    ComPort *port() const { return m_form->findChild<ComPort *>(QStringLiteral("CommDisp")); }
    // Replaces the window (and its port) with a new one, as at a fresh start.
    void newWindow();
    // One alphabet run during which the device goes away; sets `arrived` to
    // what the far end had read by then.
    void alphabetRunLosingDevice(QByteArray &arrived);
    // The open failure box alone, the box unticked, the lamp dark.
    void expectOpenFailure();
    // The next Update with COM1 (or the given name) opens and sends.
    void expectGoodPortWorks(PseudoTerminal &line, const QString &name = QStringLiteral("COM1"));

    std::unique_ptr<PortLinks> m_links;
    std::unique_ptr<PseudoTerminal> m_line;
    std::unique_ptr<TForm1> m_form;
    RecordingBoxes m_boxes;
};

void TestFaults::init()
{
    m_links = std::make_unique<PortLinks>();
    m_line = std::make_unique<PseudoTerminal>();
    QVERIFY(m_line->isValid());
    QVERIFY(m_links->link(QStringLiteral("COM1"), m_line->devicePath()));
    newWindow();
}

void TestFaults::cleanup()
{
    m_form.reset();
    m_line.reset();
    m_links.reset();
}

void TestFaults::newWindow()
{
    m_form.reset();
    m_boxes.shown.clear();
    m_form = std::make_unique<TForm1>(new ComPort);
    m_form->setMessageBoxes(&m_boxes);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form.get()));
}

void TestFaults::openPort(const QString &name)
{
    control<QComboBox>("cbComm")->setCurrentText(name);
    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    QVERIFY(port()->isOpen());
    QVERIFY(lampLit());
}

void TestFaults::expectOpenFailure()
{
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("message"));
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("Error opening port !"));
    QCOMPARE(m_boxes.shown[0].caption, QStringLiteral("Open Error"));
    QVERIFY(!control<QCheckBox>("chbEnabled")->isChecked());
    QVERIFY(!lampLit());
    QVERIFY(!port()->isOpen());
    QVERIFY(!m_form->serialLink().portOpened());
    // The lamp tells why.
    QVERIFY2(lampToolTip().startsWith(QStringLiteral("Not open: COM")), qPrintable(lampToolTip()));
    // The buttons stay quiet until an Update opens a port.
    click("btClear");
    QCOMPARE(m_boxes.shown.size(), 1);
}

void TestFaults::expectGoodPortWorks(PseudoTerminal &line, const QString &name)
{
    const qsizetype boxes = m_boxes.shown.size();
    openPort(name);
    click("btClear");
    QCOMPARE(line.readExactly(clearFrame.size()).toHex(' '), clearFrame.toHex(' '));
    QCOMPARE(line.readAvailable(), QByteArray());
    QCOMPARE(m_boxes.shown.size(), boxes);
}

void TestFaults::stalledLineGivesOneBoxAndDiscardsTheRest()
{
    // The far end reads nothing: the terminal takes what fits in its buffers
    // (some tens of kilobytes) and then no more.
    port()->setWriteTimeout(300, 0);
    openPort();
    const QByteArray bytes = megabyteBytes();
    control<QLineEdit>("edText")->setText(megabyteText());
    click("btSendText");

    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("COM1: Write timed out"));
    QVERIFY(port()->isOpen());
    QVERIFY(lampLit());

    // What had gone out before the time-out is the start of the text, in
    // order; the rest was discarded and never comes, not even once the
    // far end reads and the window sends again.
    const QByteArray before = m_line->readAvailable();
    QVERIFY2(before.size() > 0 && before.size() < bytes.size(), QByteArray::number(before.size()));
    QVERIFY(bytes.startsWith(before));
    QCOMPARE(m_line->readAvailable(500).size(), 0);
    click("btClear");
    QCOMPARE(m_line->readExactly(clearFrame.size()).toHex(' '), clearFrame.toHex(' '));
    QCOMPARE(m_line->readAvailable(300), QByteArray());
    QCOMPARE(m_boxes.shown.size(), 1);

    // A second stall gives a second box, just one.
    control<QLineEdit>("edText")->setText(megabyteText());
    click("btSendText");
    QCOMPARE(m_boxes.shown.size(), 2);
    QCOMPARE(m_boxes.shown[1].text, QStringLiteral("COM1: Write timed out"));
    QVERIFY(bytes.startsWith(m_line->readAvailable()));
    click("btCursor");
    QCOMPARE(m_line->readExactly(cursorFrame.size()).toHex(' '), cursorFrame.toHex(' '));
    QCOMPARE(m_boxes.shown.size(), 2);
}

void TestFaults::deviceGoneBetweenSends()
{
    openPort();
    const QString oldDevice = m_line->devicePath();
    m_line->closeMaster(); // the adapter is pulled out

    // Nothing watches the line between sends: the program waits quietly.
    const double idle = cpuDuringQuietSecond();
    QVERIFY2(idle < 0.3, qPrintable(QString::number(idle)));

    // The next send finds out: one box, and the port is closed.
    click("btClear");
    QCOMPARE(m_boxes.shown.size(), 1);
    QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
    // The send's first step, the discard, is what meets the dead line.
    QCOMPARE(m_boxes.shown[0].text, QStringLiteral("COM1: Cannot clear the port's buffers: Input/output error; the port has been closed"));
    QVERIFY(!port()->isOpen());
    QVERIFY(!lampLit());
    const double idleAfter = cpuDuringQuietSecond();
    QVERIFY2(idleAfter < 0.3, qPrintable(QString::number(idleAfter)));

    // Each further press says once that the port is not open.
    click("btCursor");
    QCOMPARE(m_boxes.shown.size(), 2);
    QCOMPARE(m_boxes.shown[1].text, QStringLiteral("COM1: The port is not open"));

    // "Обновить" while the device is still away: the open error. (Unless
    // another program on the machine got a terminal of the same number.)
    if (!QFileInfo::exists(oldDevice)) {
        click("btUpdateSetting");
        QCOMPARE(m_boxes.shown.size(), 3);
        QCOMPARE(m_boxes.shown[2].text, QStringLiteral("Error opening port !"));
        QVERIFY(!control<QCheckBox>("chbEnabled")->isChecked());
        QVERIFY(!lampLit());
    }

    // The device is back, under the same COM name: "Обновить" opens it.
    m_boxes.shown.clear();
    PseudoTerminal back;
    QVERIFY(back.isValid());
    QVERIFY(m_links->link(QStringLiteral("COM1"), back.devicePath()));
    expectGoodPortWorks(back);
    QVERIFY(m_boxes.shown.isEmpty());
}

void TestFaults::alphabetRunLosingDevice(QByteArray &arrived)
{
    // The run's first step discards the port's input: bytes waiting there
    // tell the moment it has begun.
    const int slave = ::open(QFile::encodeName(m_line->devicePath()).constData(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    QVERIFY(slave >= 0);
    const auto closeSlave = qScopeGuard([slave] { ::close(slave); });
    QVERIFY(m_line->sendToDevice("waiting input"));
    QTRY_VERIFY(m_line->pendingInput() > 0);

    // The terminal's output is held (as a line would be by a stalled
    // device), so that each letter waits for room. A second thread lets it
    // go for a moment at a time, a little longer each time, until a few
    // letters are through; then, with the line held again and the window
    // waiting to write the next letter, the device goes away.
    //
    // The window writes a letter in well under a microsecond, so the two
    // threads keep to CPUs of their own, and the releasing one is not put
    // off by the window's thread waking (real-time priority, where allowed).
    const cpu_set_t windowCpus = currentCpus();
    const bool twoCpus = CPU_COUNT(&windowCpus) >= 2;
    int cpus[2] = {-1, -1};
    for (int c = 0, found = 0; c < CPU_SETSIZE && found < 2; ++c) {
        if (CPU_ISSET(c, &windowCpus))
            cpus[found++] = c;
    }
    if (twoCpus)
        pinTo(cpus[1]);
    const auto unpin = qScopeGuard([&windowCpus] {
        ::pthread_setaffinity_np(::pthread_self(), sizeof windowCpus, &windowCpus);
    });
    QVERIFY(::tcflow(slave, TCOOFF) == 0);
    std::atomic<bool> started{false};
    std::thread device([&] {
        if (twoCpus)
            pinTo(cpus[0]);
        sched_param realtime{};
        realtime.sched_priority = 1;
        ::pthread_setschedparam(::pthread_self(), SCHED_FIFO, &realtime);
        for (int i = 0; i < 10000 && m_line->pendingInput() != 0; ++i)
            std::this_thread::sleep_for(1ms);
        started = m_line->pendingInput() == 0;
        std::this_thread::sleep_for(20ms);
        std::chrono::nanoseconds gap = 0ns;
        for (int round = 0; round < 200 && arrived.size() < 5; ++round) {
            ::tcflow(slave, TCOON);
            const auto until = std::chrono::steady_clock::now() + gap;
            while (std::chrono::steady_clock::now() < until) { }
            ::tcflow(slave, TCOOFF);
            std::this_thread::sleep_for(2ms);
            arrived += m_line->readAvailable(2);
            if (arrived.isEmpty())
                gap = gap * 3 / 2 + 100ns;
        }
        std::this_thread::sleep_for(20ms);
        arrived += m_line->readAvailable(20);
        m_line->closeMaster();
    });
    port()->setWriteTimeout(20000, 0); // no letter gives up waiting
    click("btABC");
    device.join();
    QVERIFY(started);
}

void TestFaults::deviceGoneDuringAlphabetRun()
{
    const QByteArray letters = alphabet();
    // How many letters get through before the device goes away depends on
    // the scheduler; a try in which all forty did proves nothing, and
    // another is made.
    for (int attempt = 1; attempt <= 10; ++attempt) {
        if (attempt > 1) {
            m_line = std::make_unique<PseudoTerminal>();
            QVERIFY(m_line->isValid());
            QVERIFY(m_links->link(QStringLiteral("COM1"), m_line->devicePath()));
            newWindow();
        }
        openPort();
        QByteArray arrived;
        alphabetRunLosingDevice(arrived);
        if (QTest::currentTestFailed())
            return;
        // The far end got the first letters, whole and in order, and not one more.
        QVERIFY2(letters.startsWith(arrived), arrived.toHex(' ').constData());
        if (arrived.size() == letters.size()) {
            qInfo("attempt %d: all forty letters went out before the device went away", attempt);
            QVERIFY(m_boxes.shown.isEmpty());
            continue;
        }
        qInfo("attempt %d: the device went away after %d letters", attempt, int(arrived.size()));
        // One box, not one for each letter left, and the port is closed.
        QCOMPARE(m_boxes.shown.size(), 1);
        QCOMPARE(m_boxes.shown[0].kind, QStringLiteral("error"));
        QVERIFY2(m_boxes.shown[0].text.startsWith(QStringLiteral("COM1: Write error")),
                 qPrintable(m_boxes.shown[0].text));
        QVERIFY(!port()->isOpen());
        QVERIFY(!lampLit());

        // The device comes back: none of the letters left over goes out then.
        m_boxes.shown.clear();
        PseudoTerminal back;
        QVERIFY(back.isValid());
        QVERIFY(m_links->link(QStringLiteral("COM1"), back.devicePath()));
        click("btUpdateSetting");
        QVERIFY(lampLit());
        QCOMPARE(back.readAvailable(300), QByteArray());
        click("btCursor");
        QCOMPARE(back.readExactly(cursorFrame.size()).toHex(' '), cursorFrame.toHex(' '));
        QCOMPARE(back.readAvailable(), QByteArray());
        QVERIFY(m_boxes.shown.isEmpty());
        return;
    }
    QFAIL("in ten tries the device never went away in the middle of the run");
}

void TestFaults::openFails_data()
{
    QTest::addColumn<QString>("target"); // what COM2 leads to

    QTest::newRow("no such device (a node whose adapter is not there)") << "NODE";
    QTest::newRow("dangling link") << "/nonexistent/ttyUSB0";
    QTest::newRow("link to a character device that is not a terminal") << "/dev/null";
    QTest::newRow("link to a regular file") << "FILE";
    QTest::newRow("link to a folder") << "/";
}

void TestFaults::openFails()
{
    QFETCH(QString, target);

    const QString file = m_links->folder() + QStringLiteral("/not-a-port.txt");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("untouched");
    }
    if (target == QLatin1String("FILE")) {
        target = file;
    } else if (target == QLatin1String("NODE")) {
        // A USB serial adapter's node (major 188) with no adapter behind it.
        target = m_links->folder() + QStringLiteral("/ttyUSB250");
        if (::mknod(QFile::encodeName(target).constData(), S_IFCHR | 0600, makedev(188, 250)) != 0)
            QSKIP("cannot make a device node here");
    }
    QVERIFY(m_links->link(QStringLiteral("COM2"), target));

    control<QComboBox>("cbComm")->setCurrentText(QStringLiteral("COM2"));
    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    expectOpenFailure();
    QCOMPARE(m_line->readAvailable(), QByteArray());
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("untouched"));

    expectGoodPortWorks(*m_line);
}

void TestFaults::openFailsWhileAnotherProgramHoldsThePort_data()
{
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QString>("name"); // the window's COM name for the same device

    QTest::newRow("the program's own serial component, in another process") << "program" << "COM1";
    QTest::newRow("the program in another process, the device reached under another name") << "program" << "COM2";
    QTest::newRow("a UUCP lock file of a live process (minicom, cu)") << "uucp" << "COM1";
    QTest::newRow("a UUCP lock file, the device reached under another name") << "uucp" << "COM2";
    QTest::newRow("a lock on the device itself (flock, as picocom)") << "flock" << "COM1";
}

void TestFaults::openFailsWhileAnotherProgramHoldsThePort()
{
    QFETCH(QString, holder);
    QFETCH(QString, name);

    const QString device = m_line->devicePath();
    // COM2 leads to the same device through a link of its own, as
    // /dev/serial/by-id/... leads to /dev/ttyUSB0.
    const QString alias = m_links->folder() + QStringLiteral("/by-id-adapter");
    QVERIFY(QFile::link(device, alias));
    QVERIFY(m_links->link(QStringLiteral("COM2"), alias));

    std::unique_ptr<OtherProgram> other;
    std::unique_ptr<UucpLockFile> lock;
    if (holder == QLatin1String("program")) {
        other = std::make_unique<OtherProgram>(QStringLiteral(VKD_FAULTS_HELPER),
                                               QStringList{"hold", "COM1"}, "open");
    } else if (holder == QLatin1String("uucp")) {
        other = std::make_unique<OtherProgram>(QStringLiteral("sh"),
                                               QStringList{"-c", "echo ready; exec cat >/dev/null"}, "ready");
        lock = std::make_unique<UucpLockFile>(device, other->pid());
        QVERIFY2(lock->isValid(), qPrintable(lock->path()));
    } else {
        other = std::make_unique<OtherProgram>(
            QStringLiteral("flock"),
            QStringList{"--exclusive", "--nonblock", device, "sh", "-c", "echo locked; exec cat >/dev/null"},
            "locked");
    }
    QVERIFY2(other->isReady(), other->said().constData());

    control<QComboBox>("cbComm")->setCurrentText(name);
    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    expectOpenFailure();
    QVERIFY2(lampToolTip().contains(QStringLiteral("in use by process %1").arg(other->pid())),
             qPrintable(lampToolTip()));
    QCOMPARE(m_line->readAvailable(), QByteArray());

    // The other program goes; its lock file, if any, stays behind, stale,
    // as when it crashed: the next Update works.
    QVERIFY(other->end());
    expectGoodPortWorks(*m_line, name);
}

void TestFaults::openFailsWithoutPermission()
{
    // The opening attempt runs as the unprivileged user "nobody", in a second
    // copy of the window; so that it sees the test's links and no others,
    // they are in a folder it may read.
    const passwd *nobody = ::getpwnam("nobody");
    const group *dialout = ::getgrnam("dialout");
    if (!nobody || !dialout || ::geteuid() != 0)
        QSKIP("needs root, the user nobody and the group dialout");
    const uid_t uid = nobody->pw_uid;
    const gid_t gid = nobody->pw_gid;
    const gid_t dialoutGid = dialout->gr_gid;

    QTemporaryDir config;
    QVERIFY(config.isValid());
    QVERIFY(QDir(config.path()).mkpath(QStringLiteral("vkd417-demo/ports")));
    for (const QString &folder : {QString(), QStringLiteral("/vkd417-demo"), QStringLiteral("/vkd417-demo/ports")})
        QVERIFY(::chmod(QFile::encodeName(config.path() + folder).constData(), 0755) == 0);
    const QString ports = config.path() + QStringLiteral("/vkd417-demo/ports/");
    for (int n = 2; n <= 8; ++n)
        QVERIFY(QFile::link(QStringLiteral("/nonexistent/vkd417-test-port"), ports + QStringLiteral("COM%1").arg(n)));
    const QString device = m_line->devicePath();
    QVERIFY(QFile::link(device, ports + QStringLiteral("COM1")));

    // The device as serial devices are on Linux: root's, group dialout, 0660.
    QVERIFY(::chown(QFile::encodeName(device).constData(), 0, dialoutGid) == 0);
    QVERIFY(::chmod(QFile::encodeName(device).constData(), 0660) == 0);

    // Its own runtime folder, which Qt wants and would otherwise leave in /tmp.
    QTemporaryDir runtime;
    QVERIFY(runtime.isValid());
    QVERIFY(::chown(QFile::encodeName(runtime.path()).constData(), uid, gid) == 0);

    const auto runAsNobody = [&](bool inDialout) {
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
        env.insert(QStringLiteral("HOME"), QStringLiteral("/nonexistent"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.setChildProcessModifier([uid, gid, dialoutGid, inDialout] {
            // After fork, before exec: only async-signal-safe calls.
            const gid_t groups[] = {dialoutGid};
            if (::setgroups(inDialout ? 1 : 0, groups) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
                ::_exit(126);
        });
        child.start(QStringLiteral(VKD_FAULTS_HELPER), {QStringLiteral("window"), QStringLiteral("COM1")});
        const bool finished = child.waitForFinished(60000);
        if (!finished)
            child.kill();
        QStringList lines = QString::fromUtf8(child.readAllStandardOutput()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        lines.prepend(QStringLiteral("exit %1").arg(finished && child.exitStatus() == QProcess::NormalExit
                                                        ? child.exitCode() : -1));
        return lines;
    };

    const QStringList refused = runAsNobody(false);
    QCOMPARE(refused, QStringList({"exit 0", "device " + device, "box message|Open Error|Error opening port !",
                                   "checked 0",
                                   "lamp 0: Not open: COM1: Cannot open " + device
                                       + ": Permission denied: add yourself to the group dialout and log in again"}));
    QCOMPARE(m_line->readAvailable(), QByteArray());

    // The same user in the group dialout opens the port and sends: it was
    // the permission that was missing, nothing else.
    const QStringList allowed = runAsNobody(true);
    QCOMPARE(allowed, QStringList({"exit 0", "device " + device, "checked 1", "lamp 1: COM1 is open"}));
    QCOMPARE(m_line->readExactly(clearFrame.size()).toHex(' '), clearFrame.toHex(' '));

    // And here, as root, the window opens it as ever.
    expectGoodPortWorks(*m_line);
}

void TestFaults::neverOpensAnotherSessionsTerminal()
{
    // A shell's terminal, as a stale link left by a monitor that died may
    // lead to once its number has been reused: a session has it as its
    // controlling terminal.
    const QByteArray path = QFile::encodeName(m_line->devicePath());
    int ready[2];
    QVERIFY(::pipe(ready) == 0);
    const pid_t session = ::fork();
    if (session == 0) {
        // After fork: only async-signal-safe calls.
        ::close(ready[0]);
        const int fd = ::setsid() < 0 ? -1 : ::open(path.constData(), O_RDWR);
        if (fd < 0 || ::ioctl(fd, TIOCSCTTY, 0) != 0)
            ::_exit(1);
        ::write(ready[1], "r", 1);
        ::pause();
        ::_exit(0);
    }
    ::close(ready[1]);
    char said = 0;
    pollfd p{ready[0], POLLIN, 0};
    const bool started = ::poll(&p, 1, 10000) == 1 && ::read(ready[0], &said, 1) == 1;
    ::close(ready[0]);
    const auto endSession = qScopeGuard([session] {
        ::kill(session, SIGKILL);
        ::waitpid(session, nullptr, 0);
    });
    QVERIFY(started);
    const TerminalSettings before = m_line->settings();

    control<QCheckBox>("chbEnabled")->setChecked(true);
    click("btUpdateSetting");
    expectOpenFailure();
    QVERIFY2(lampToolTip().contains(QStringLiteral("terminal of process %1").arg(session)), qPrintable(lampToolTip()));
    // Not a byte, not a setting.
    QCOMPARE(m_line->readAvailable(), QByteArray());
    QCOMPARE(m_line->settings(), before);

    // Once nobody has it as a terminal, it is a port like any other.
    ::kill(session, SIGKILL);
    ::waitpid(session, nullptr, 0);
    expectGoodPortWorks(*m_line);
}

void TestFaults::thousandPressesArriveWholeAndInOrder()
{
    openPort();
    control<QLineEdit>("edCode")->setText(QStringLiteral("65"));
    // The far end reads with a rest after each read, so that at many
    // presses bytes already sent still wait there unread: the discard
    // before each send must not throw them away.
    FarEndReader reader(m_line->masterFd(), 20ms);
    QByteArray expected;
    const QList<Press> &presses = allPresses();
    for (int i = 0; i < 1000; ++i) {
        const Press &press = presses[i % presses.size()];
        click(press.button);
        expected += press.bytes;
    }
    reader.waitFor(expected.size());
    QTest::qWait(100);
    const QByteArray received = reader.received();
    QCOMPARE(received.size(), expected.size());
    QVERIFY(received == expected);
    QVERIFY(m_boxes.shown.isEmpty());
    QVERIFY(lampLit());
}

void TestFaults::megabyteOfTextGoesOutWhole()
{
    openPort();
    const QString text = megabyteText();
    control<QLineEdit>("edText")->setText(text);
    QCOMPARE(control<QLineEdit>("edText")->text().size(), text.size());

    FarEndReader reader(m_line->masterFd());
    click("btSendText");
    QVERIFY(m_boxes.shown.isEmpty());
    const QByteArray bytes = megabyteBytes();
    // The send returns once its bytes have left; they are all there.
    reader.waitFor(bytes.size());
    QTest::qWait(100);
    const QByteArray received = reader.received();
    QCOMPARE(received.size(), bytes.size());
    QVERIFY(received == bytes);
    QVERIFY(lampLit());
}

QTEST_MAIN(TestFaults)
#include "tst_faults.moc"
