// The hardware bench, the host's half: boots Debian's own kernel in QEMU
// (software emulation) with the machine's root file system shared read-only,
// a 16550 UART (8250 driver, /dev/ttyS1) and an FTDI USB adapter (ftdi_sio,
// /dev/ttyUSB0) under test, each sending into a file; the guest works the
// program's serial component and the real window; QEMU's device models
// record every register write and USB request (its trace). One boot serves
// every case. The host then judges each case from that record and from the
// bytes that came out, against values worked out here from the settings
// asked for, as the 16550's and FTDI's data sheets define them.

#include "linecases.h"
#include "record.h"
#include "windowcases.h"

#include "form1layout.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <map>
#include <optional>

using namespace hwbench;
using namespace Qt::StringLiterals;

namespace {

const QString runDir = QStringLiteral(VKD_HW_RUN_DIR);
QString runFile(const QString &name) { return runDir + u'/' + name; }

// ---- what the chips should be told, from their data sheets -------------

// 16550 line control register: word length select (bits 0-1, 5 to 8 bits),
// stop bits (bit 2: 1, or 1.5 with 5 bits and 2 otherwise), parity enable
// (3), even parity (4), stick parity (5: with even clear the parity bit is
// always 1, mark; with even set always 0, space).
int uartLineControl(const Setting &s)
{
    int lcr = dataBitCount(s.dataBits) - 5;
    if (s.stopBits != StopBits::One)
        lcr |= 0x04;
    switch (s.parity) {
    case Parity::None: break;
    case Parity::Odd: lcr |= 0x08; break;
    case Parity::Even: lcr |= 0x08 | 0x10; break;
    case Parity::Mark: lcr |= 0x08 | 0x20; break;
    case Parity::Space: lcr |= 0x08 | 0x10 | 0x20; break;
    }
    return lcr;
}

// The divisor latch: the 1.8432 MHz clock over 16 over the rate.
int uartDivisor(int rate) { return 1843200 / 16 / rate; }

// FTDI SET_DATA: data bits in bits 0-7; parity in 8-10 (0 none, 1 odd,
// 2 even, 3 mark, 4 space); stop bits in 11-13 (0 one, 1 one and a half,
// 2 two).
int ftdiSetData(const Setting &s)
{
    const int parity = static_cast<int>(s.parity); // the window's order is FTDI's
    const int stop = s.stopBits == StopBits::One ? 0 : s.stopBits == StopBits::OneAndHalf ? 1 : 2;
    return dataBitCount(s.dataBits) | parity << 8 | stop << 11;
}

// FTDI SET_BAUD_RATE on a 232BM-class chip: the 3 MHz clock over the rate,
// in eighths, the nearest one; the whole part in bits 0-13 and the eighths
// encoded in bits 14-16 (0, 1/8 -> 3, 1/4 -> 2, 3/8 -> 4, 1/2 -> 1, 5/8 -> 5,
// 3/4 -> 6, 7/8 -> 7); bits 0-15 are the request's value, bit 16 its index.
struct FtdiBaud
{
    int value;
    int eighths; // the divisor in eighths, from which the chip's rate follows
};
FtdiBaud ftdiBaud(int rate)
{
    static const int code[8] = {0, 3, 2, 4, 1, 5, 6, 7};
    const int eighths = (3000000 * 8 + rate / 2) / rate;
    const int encoded = eighths >> 3 | code[eighths & 7] << 14;
    return {encoded & 0xffff, eighths};
}

// ---- what the program should answer ------------------------------------

const char *dataBitsText(DataBits b)
{
    static const char *texts[] = {"5 data bits", "6 data bits", "7 data bits", "8 data bits"};
    return texts[static_cast<int>(b)];
}

// The refusals the program may give for a setting on a device, any one of
// which is right when a setting breaks more than one rule; none when the
// device takes it.
QStringList refusals(Device device, const Setting &s)
{
    QStringList out;
    if (s.stopBits == StopBits::OneAndHalf && s.dataBits != DataBits::Five)
        out << u"1.5 stop bits can only be used with 5 data bits"_s;
    if (s.stopBits == StopBits::Two && s.dataBits == DataBits::Five)
        out << u"2 stop bits cannot be used with 5 data bits"_s;
    if (device == Device::Usb) {
        // ftdi_sio has no 5 or 6 data bits (it tells the chip 0 or 8) and
        // turns 1.5 stop bits into 2.
        const QString cannot = QString::fromLatin1(devicePath(device)) + u" cannot send "_s;
        if (s.dataBits == DataBits::Five || s.dataBits == DataBits::Six)
            out << cannot + QLatin1String(dataBitsText(s.dataBits));
        if (s.stopBits == StopBits::OneAndHalf)
            out << cannot + u"1.5 stop bits"_s;
    }
    return out;
}

QString settingName(const Setting &s)
{
    static const char parity[] = "NOEMS";
    static const char *stop[] = {"1", "1.5", "2"};
    return u"%1 bit/s %2%3%4"_s.arg(baudRates[static_cast<std::size_t>(s.baudIndex)])
        .arg(dataBitCount(s.dataBits))
        .arg(QLatin1Char(parity[static_cast<int>(s.parity)]))
        .arg(QLatin1String(stop[static_cast<int>(s.stopBits)]));
}

bool sends(const LineCase &c)
{
    return refusals(c.device, c.setting).isEmpty() || c.path == Path::WhileOpen;
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString hex(const QByteArray &bytes) { return QString::fromLatin1(bytes.toHex(' ')); }

// A register or request value as the data sheets write it.
QString reg(int value, int digits) { return u"0x%1"_s.arg(value, digits, 16, QLatin1Char('0')); }

// A line to QEMU's monitor (human monitor protocol) on its socket.
bool monitorCommand(const QString &socketPath, const QString &command, QString *error)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const QByteArray path = QFile::encodeName(socketPath);
    std::memcpy(address.sun_path, path.constData(), std::min<std::size_t>(path.size(), sizeof address.sun_path - 1));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        *error = u"cannot reach QEMU's monitor: %1"_s.arg(QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0)
            ::close(fd);
        return false;
    }
    const QByteArray line = command.toUtf8() + '\n';
    const bool ok = ::write(fd, line.constData(), line.size()) == line.size();
    // Wait for the monitor's answer (it echoes the command and prompts
    // again) so that the command has been carried out.
    QByteArray answer;
    char buffer[512];
    for (QElapsedTimer t; t.start(), answer.count("(qemu)") < 2;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        answer.append(buffer, n);
    }
    ::close(fd);
    if (!ok)
        *error = u"cannot write to QEMU's monitor"_s;
    return ok;
}

// ---- the window's steps --------------------------------------------------

const QByteArray clearFrame = QByteArray::fromHex("040143315817");
// The text field's greeting, "Добро пожаловать!", in code page 866.
const QByteArray greeting = QByteArray::fromHex("84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC21");
QByteArray alphabetRun()
{
    QByteArray run;
    for (int c = 0x80; c < 0x80 + 40; ++c)
        run.append(char(c));
    return run;
}

// What each step should leave, worked out by walking the steps as the
// window's states follow from them.
struct StepExpectation
{
    WindowStep step;
    QByteArray bytes;   // what goes out during the step
    bool lampLit = false; // after it
    int boxes = 0;      // error boxes during it; -1: zero or one (the pull races the send)
    bool open = false;  // the port open after it, so the chip's settings count
    Setting setting;    // the lists' choice
};

std::vector<StepExpectation> windowExpectations()
{
    std::vector<StepExpectation> out;
    std::optional<Device> device;
    // open: the device is open; ready: the window's flag that lets the
    // buttons send, which stays set when the port closes under it (each
    // press then says "The port is not open"); present: the adapter is in.
    bool open = false, ready = false, present = true, ticked = false, racePending = false;
    Setting setting;
    for (const WindowStep &s : windowSteps()) {
        if (device != s.device) {
            device = s.device;
            open = ready = ticked = false;
            setting = Setting{}; // a new window: 9600 8N1
        }
        StepExpectation e{s, {}, false, 0, false, setting};
        const auto send = [&](const QByteArray &bytes) {
            if (!ready)
                return;
            if (open && present) {
                e.bytes = bytes;
                return;
            }
            // Not open, or the send meets the missing device: one box, and
            // the port is closed.
            e.boxes = 1;
            open = false;
        };
        const auto update = [&] {
            open = ready = ticked && present;
            if (ticked && !present) {
                e.boxes = 1; // "Error opening port !", and the box unticked
                ticked = false;
            }
        };
        switch (s.gesture) {
        case Gesture::Open:
            ticked = true;
            update();
            break;
        case Gesture::Clear:
            send(clearFrame);
            if (racePending) {
                // The run before met the missing device or went out whole
                // before it went: either way this send meets a closed port.
                racePending = false;
                e.bytes.clear();
            }
            break;
        case Gesture::Text: send(greeting); break;
        case Gesture::Alphabet: send(alphabetRun()); break;
        case Gesture::ChangeWhileOpen:
            setting = Setting{5, DataBits::Seven, Parity::Even, StopBits::One};
            e.setting = setting;
            update();
            break;
        case Gesture::Close:
            // The window leaves its send flag as it was.
            ticked = false;
            open = false;
            break;
        case Gesture::Pull: present = false; break;
        case Gesture::PlugBack: present = true; break;
        case Gesture::Update: update(); break;
        case Gesture::PullDuringAlphabet:
            present = false;
            e.boxes = -1; // judged with the next step
            open = false;
            racePending = true;
            break;
        }
        e.lampLit = open;
        e.open = open;
        out.push_back(e);
    }
    return out;
}

// The lamp in a picture of the window: lit is bright green, dark a dull one.
std::optional<bool> lampLit(const QString &picture)
{
    const QImage image(picture);
    if (image.isNull())
        return std::nullopt;
    const QColor c = image.pixelColor(form1layout::placeInWindow("ComLed1").center());
    if (c.green() > 0xa0 && c.red() < 0x80)
        return true;
    if (c.green() < 0x80 && c.red() < 0x40)
        return false;
    return std::nullopt;
}

} // namespace

class TestHardwareBench : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();

    void lineSettings_data();
    void lineSettings();
    void bytesOnTheLine_data();
    void bytesOnTheLine();
    void dtrAndRtsAtOpen_data();
    void dtrAndRtsAtOpen();
    void windowSteps_data();
    void windowSteps();
    void pulledOutDuringTheAlphabetRun();

private:
    void boot();
    QString whatTheChipWasTold(const LineCase &c) const;
    void serviceGuest();
    QString job() const;

    std::unique_ptr<Record> m_record;
    std::map<int, QJsonObject> m_notes;
    std::map<int, LineCase> m_cases;
    std::map<int, QJsonObject> m_windowNotes;
    QStringList m_served;
    // A socket's path must be short; the build folder's may not be.
    QTemporaryDir m_socketFolder{QDir::tempPath() + u"/vkd417-hw.XXXXXX"_s};
    QString m_monitorSocket = m_socketFolder.filePath(u"monitor"_s);
};

QString TestHardwareBench::job() const
{
    return uR"(set -u
export HOME=/root XDG_CONFIG_HOME=/tmp/config XDG_RUNTIME_DIR=/tmp/runtime
mkdir -p "$XDG_CONFIG_HOME/vkd417-demo/ports" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
ln -s /dev/ttyS1 "$XDG_CONFIG_HOME/vkd417-demo/ports/COM1"
ln -s /dev/ttyUSB0 "$XDG_CONFIG_HOME/vkd417-demo/ports/COM2"
i=0
while [ ! -e /dev/ttyUSB0 ] && [ $i -lt 300 ]; do sleep 0.1; i=$((i + 1)); done
echo "lines: start"
%1 /tmp/out/lines.jsonl
echo "lines: ended with $?"
echo "window: start"
%2 /tmp/out
echo "window: ended with $?"
)"_s.arg(QStringLiteral(VKD_HW_LINES_PROGRAM), QStringLiteral(VKD_HW_WINDOW_PROGRAM));
}

void TestHardwareBench::boot()
{
    QElapsedTimer clock;
    clock.start();

    QProcess fetch;
    fetch.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    fetch.start(QStringLiteral(VKD_HW_SOURCE_DIR "/fetch-kernel"), {});
    QVERIFY2(fetch.waitForFinished(600000) && fetch.exitCode() == 0, "cannot fetch Debian's kernel package");
    const QString kernelDir = QString::fromLocal8Bit(fetch.readAllStandardOutput()).trimmed();
    const QStringList kernels = QDir(kernelDir + u"/boot"_s).entryList({u"vmlinuz-*"_s});
    QVERIFY2(kernels.size() == 1, qPrintable(kernelDir));

    QDir(runDir).removeRecursively();
    QVERIFY(QDir().mkpath(runFile(u"out"_s)));
    QProcess initramfs;
    initramfs.setProcessChannelMode(QProcess::ForwardedChannels);
    initramfs.start(QStringLiteral(VKD_HW_SOURCE_DIR "/make-initramfs"), {kernelDir, runFile(u"initramfs.cpio"_s)});
    QVERIFY2(initramfs.waitForFinished(120000) && initramfs.exitCode() == 0, "cannot build the initramfs");

    QFile jobFile(runFile(u"out/job"_s));
    QVERIFY(jobFile.open(QIODevice::WriteOnly));
    jobFile.write(job().toUtf8());
    jobFile.close();

    const QStringList qemu = {
        u"--kill-after=10"_s, QString::number(VKD_HW_BOOT_SECONDS), u"qemu-system-x86_64"_s,
        u"-machine"_s, u"pc"_s, u"-accel"_s, u"tcg"_s, u"-cpu"_s, u"max"_s, u"-m"_s, u"1536"_s,
        u"-nographic"_s, u"-no-reboot"_s, u"-nic"_s, u"none"_s,
        u"-kernel"_s, kernelDir + u"/boot/"_s + kernels.first(),
        u"-initrd"_s, runFile(u"initramfs.cpio"_s),
        // The build tree again on its own, at its own path: the guest's tmpfs
        // over /tmp, /root and the like would hide a tree that lies there.
        u"-append"_s, u"console=ttyS0 loglevel=4 vkd.build="_s + QStringLiteral(VKD_HW_BUILD_DIR),
        u"-serial"_s, u"file:"_s + runFile(u"console.log"_s),
        // Under test: a 16550 (ttyS1) and an FTDI adapter (ttyUSB0).
        u"-chardev"_s, u"file,id=uart,path="_s + runFile(u"uart.out"_s),
        u"-device"_s, u"isa-serial,chardev=uart,index=1"_s,
        u"-device"_s, u"qemu-xhci,id=xhci"_s,
        u"-chardev"_s, u"file,id=ftdi,path="_s + runFile(u"ftdi.out"_s),
        u"-device"_s, u"usb-serial,chardev=ftdi,id=ftdi"_s,
        // The referee's marks go to a 16550 of their own (ttyS2).
        u"-chardev"_s, u"null,id=marks"_s, u"-device"_s, u"isa-serial,chardev=marks,index=2"_s,
        u"-virtfs"_s, u"local,path=/,mount_tag=root,security_model=none,readonly=on,multidevs=remap"_s,
        u"-virtfs"_s, u"local,path="_s + QStringLiteral(VKD_HW_BUILD_DIR).replace(u',', u",,"_s)
            + u",mount_tag=build,security_model=none,readonly=on,multidevs=remap"_s,
        u"-virtfs"_s, u"local,path="_s + runFile(u"out"_s) + u",mount_tag=out,security_model=none"_s,
        u"-trace"_s, u"serial_write"_s, u"-trace"_s, u"usb_serial_*"_s, u"-D"_s, runFile(u"trace.log"_s),
        u"-monitor"_s, u"unix:"_s + m_monitorSocket + u",server=on,wait=off"_s,
    };
    QProcess machine;
    machine.setProcessChannelMode(QProcess::MergedChannels);
    machine.setStandardOutputFile(runFile(u"qemu.log"_s));
    machine.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGKILL); });
    machine.start(u"timeout"_s, qemu);
    QVERIFY2(machine.waitForStarted(), qPrintable(machine.errorString()));
    while (!machine.waitForFinished(200))
        serviceGuest();
    qInfo("hw: kernel, initramfs and the guest's whole run took %.1f s", clock.elapsed() / 1000.0);
    QVERIFY2(machine.exitStatus() == QProcess::NormalExit && machine.exitCode() == 0,
             qPrintable(u"QEMU ended with %1; see %2"_s.arg(machine.exitCode()).arg(runDir)));
}

// Carries out the guest's requests to the machine (an adapter pulled out
// or put back) in the order they come, and says when each is done.
void TestHardwareBench::serviceGuest()
{
    const QDir out(runFile(u"out"_s));
    for (const QString &name : out.entryList({u"request-*.ready"_s}, QDir::Files, QDir::Name)) {
        if (m_served.contains(name))
            continue;
        m_served << name;
        const QString command = QString::fromUtf8(readBytes(out.filePath(name))).trimmed();
        QString error;
        if (!monitorCommand(m_monitorSocket, command, &error))
            qWarning("hw: %s: %s", qPrintable(command), qPrintable(error));
        const QString step = name.section(u'-', 1).section(u'.', 0, 0);
        QFile done(out.filePath(u"done-"_s + step));
        if (done.open(QIODevice::WriteOnly))
            done.write(error.toUtf8());
    }
}

void TestHardwareBench::initTestCase()
{
    if (qEnvironmentVariableIsEmpty("VKD_HW_REUSE_RUN") || !QFile::exists(runFile(u"trace.log"_s))) {
        boot();
        if (QTest::currentTestFailed())
            return;
    }
    m_record = std::make_unique<Record>(runFile(u"trace.log"_s));
    QVERIFY2(m_record->errors().isEmpty(), qPrintable(m_record->errors().join(u"; "_s)));
    QFile notes(runFile(u"out/lines.jsonl"_s));
    QVERIFY2(notes.open(QIODevice::ReadOnly), "the guest left no notes of the line-settings cases");
    for (const QByteArray &line : notes.readAll().split('\n')) {
        if (!line.isEmpty()) {
            const QJsonObject note = QJsonDocument::fromJson(line).object();
            m_notes[note.value(u"case"_s).toInt()] = note;
        }
    }
    for (const LineCase &c : lineCases())
        m_cases[c.number] = c;
    QFile windowNotes(runFile(u"out/window.jsonl"_s));
    if (windowNotes.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : windowNotes.readAll().split('\n')) {
            if (!line.isEmpty()) {
                const QJsonObject note = QJsonDocument::fromJson(line).object();
                m_windowNotes[note.value(u"step"_s).toInt()] = note;
            }
        }
    }
}

// For the table: what the device was told for a case, or the program's
// refusal.
QString TestHardwareBench::whatTheChipWasTold(const LineCase &c) const
{
    if (!m_notes.count(c.number))
        return u"(not run)"_s;
    const QString message = m_notes.at(c.number).value(u"message"_s).toString();
    if (!message.isEmpty())
        return u"refused: "_s + message.section(u": "_s, 1);
    const int sending = m_record->markAt(c.number, int(Phase::Sending));
    if (c.device == Device::Uart) {
        const UartState chip = m_record->uartAt(sending);
        return u"LCR %1, divisor %2"_s.arg(reg(chip.lcr, 2)).arg(chip.divisor());
    }
    const UsbState chip = m_record->usbAt(sending);
    return u"SET_DATA %1, SET_BAUD_RATE %2 (%3 bit/s)"_s.arg(reg(chip.data, 4), reg(chip.baudValue, 4)).arg(chip.speed);
}

// The table of what each device did with each setting, as this run saw it,
// for the README: run/settings.md.
void TestHardwareBench::cleanupTestCase()
{
    if (!m_record)
        return;
    QFile table(runFile(u"settings.md"_s));
    if (!table.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    std::map<QString, std::map<std::pair<Device, Path>, QString>> rows;
    QStringList order;
    for (const LineCase &c : lineCases()) {
        const QString name = settingName(c.setting);
        if (!rows.count(name))
            order << name;
        rows[name][{c.device, c.path}] = whatTheChipWasTold(c);
    }
    QString text = u"| setting | 16550 (8250), ttyS1 | FTDI (ftdi_sio), ttyUSB0 |\n| --- | --- | --- |\n"_s;
    for (const QString &name : order) {
        auto &row = rows[name];
        text += u"| %1 |"_s.arg(name);
        for (Device d : {Device::Uart, Device::Usb}) {
            const QString atOpen = row[{d, Path::AtOpen}];
            const QString whileOpen = row[{d, Path::WhileOpen}];
            // While open, a refusal leaves the former settings, so only the
            // message is compared.
            const bool same = atOpen == whileOpen;
            text += u" %1%2 |"_s.arg(atOpen, same ? QString() : u" (while open: %1)"_s.arg(whileOpen));
        }
        text += u'\n';
    }
    table.write(text.toUtf8());
    qInfo("hw: the table of what each device did with each setting is in %s", qPrintable(table.fileName()));
}

void TestHardwareBench::lineSettings_data()
{
    QTest::addColumn<int>("number");
    for (const LineCase &c : lineCases()) {
        const QString name = u"%1, %2, %3"_s.arg(QLatin1String(deviceLabel(c.device)),
                                                  c.path == Path::AtOpen ? u"at open"_s : u"while open"_s,
                                                  settingName(c.setting));
        QTest::newRow(qPrintable(name)) << c.number;
    }
}

void TestHardwareBench::lineSettings()
{
    QFETCH(int, number);
    const LineCase &c = m_cases.at(number);
    QVERIFY2(m_notes.count(number), "the guest did not get to this case");
    const QJsonObject &note = m_notes.at(number);
    QVERIFY2(!note.contains(u"prepare"_s), qPrintable(note.value(u"prepare"_s).toString()));
    QVERIFY2(!note.contains(u"sendError"_s), qPrintable(note.value(u"sendError"_s).toString()));

    const int sending = m_record->markAt(number, int(Phase::Sending));
    const int sent = m_record->markAt(number, int(Phase::Sent));
    QVERIFY2(sending >= 0 && sent > sending, "the case's marks are missing from the record");

    const QStringList refused = refusals(c.device, c.setting);
    const QString message = note.value(u"message"_s).toString();
    if (refused.isEmpty()) {
        QVERIFY2(message.isEmpty(), qPrintable(u"refused: "_s + message));
    } else {
        const bool named = std::any_of(refused.begin(), refused.end(),
                                       [&](const QString &m) { return message.endsWith(m); });
        QVERIFY2(named, qPrintable(u"the program said \"%1\"; expected one of \"%2\""_s.arg(message, refused.join(u"\", \""_s))));
    }
    QCOMPARE(note.value(u"open"_s).toBool(), sends(c));

    // What the line should be set to when the bytes go: the setting, or the
    // former one when the setting was refused on an open port.
    const Setting expected = refused.isEmpty() ? c.setting : base;
    const int rate = baudRates[static_cast<std::size_t>(expected.baudIndex)];
    const QByteArray bytes = QByteArray::fromStdString(payload(number));

    const QList<Event> &events = m_record->events();
    if (c.device == Device::Uart) {
        UartState chip = m_record->uartAt(sending);
        QByteArray out;
        for (int i = sending + 1; i < sent; ++i) {
            if (events[i].kind != Event::UartWrite)
                continue;
            if (chip.apply(events[i].address, events[i].value)) {
                out.append(char(events[i].value));
                QVERIFY2((chip.mcr & 0x03) == 0,
                         qPrintable(u"byte %1 went out with the modem control register at %2 (DTR or RTS up)"_s
                                        .arg(out.size()).arg(reg(chip.mcr, 2))));
            }
            QCOMPARE(chip.lcr & 0x80, 0); // nothing changes the divisor while bytes go
        }
        if (!sends(c)) {
            QCOMPARE(hex(out), QString());
            return;
        }
        // Without parity enable (bit 3) the parity-select bits mean nothing;
        // Linux sets "even" whenever odd is not asked for.
        const int meaningful = chip.lcr & 0x08 ? 0x3f : 0x07;
        QCOMPARE(reg(chip.lcr & meaningful, 2), reg(uartLineControl(expected), 2));
        QCOMPARE(chip.divisor(), uartDivisor(rate));
        QCOMPARE(hex(out), hex(bytes));
    } else {
        const UsbState chip = m_record->usbAt(sending);
        for (int i = sending + 1; i < sent; ++i) {
            QVERIFY2(events[i].kind != Event::UsbControl || events[i].address != FtdiModemControl
                         || (events[i].value & 0x303) == 0x300 || (events[i].value & 0x303) == 0x100
                         || (events[i].value & 0x303) == 0x200,
                     qPrintable(u"DTR or RTS raised while sending (modem control %1)"_s.arg(reg(events[i].value, 4))));
        }
        if (!sends(c))
            return;
        QVERIFY2(chip.dtr == 0 && chip.rts == 0, qPrintable(u"DTR %1, RTS %2 when the bytes went"_s.arg(chip.dtr).arg(chip.rts)));
        QCOMPARE(chip.flow, 0); // no flow control
        QCOMPARE(reg(chip.data, 4), reg(ftdiSetData(expected), 4));
        const FtdiBaud baud = ftdiBaud(rate);
        QCOMPARE(reg(chip.baudValue, 4), reg(baud.value, 4));
        // QEMU's model reads the divisor with the index's bit 16 as well.
        QCOMPARE(chip.speed, 24000000 / baud.eighths);
    }
}

void TestHardwareBench::bytesOnTheLine_data()
{
    QTest::addColumn<int>("device");
    QTest::addColumn<QString>("file");
    QTest::newRow("16550") << int(Device::Uart) << runFile(u"uart.out"_s);
    QTest::newRow("FTDI") << int(Device::Usb) << runFile(u"ftdi.out"_s);
}

// Everything that came out of each chip, byte for byte: the payloads of the
// cases that send, in order, and nothing else.
void TestHardwareBench::bytesOnTheLine()
{
    QFETCH(int, device);
    QFETCH(QString, file);
    const QByteArray line = readBytes(file);
    qsizetype at = 0;
    const auto expect = [&](const QByteArray &expected, const QString &what) {
        QVERIFY2(line.mid(at, expected.size()) == expected,
                 qPrintable(u"%1: came %2, expected %3"_s.arg(what, hex(line.mid(at, expected.size())), hex(expected))));
        at += expected.size();
    };
    for (const LineCase &c : lineCases()) {
        if (int(c.device) == device && sends(c))
            expect(QByteArray::fromStdString(payload(c.number)), u"case %1"_s.arg(c.number));
        if (QTest::currentTestFailed())
            return;
    }
    for (const StepExpectation &e : windowExpectations()) {
        if (int(e.step.device) == device && !e.bytes.isEmpty())
            expect(e.bytes, u"window step %1 (%2)"_s.arg(e.step.number).arg(QLatin1String(gestureName(e.step.gesture))));
        if (QTest::currentTestFailed())
            return;
    }
    // The adapter pulled out during the alphabet run: some of it, and
    // nothing after the last byte that went.
    if (device == int(Device::Usb))
        QVERIFY2(alphabetRun().startsWith(line.mid(at)), qPrintable(u"after the run began: "_s + hex(line.mid(at))));
    else
        QCOMPARE(hex(line.mid(at)), QString());
}

void TestHardwareBench::dtrAndRtsAtOpen_data()
{
    QTest::addColumn<int>("device");
    QTest::newRow("16550") << int(Device::Uart);
    QTest::newRow("FTDI") << int(Device::Usb);
}

// Linux raises DTR and RTS at every open of a port whose saved rate is not
// 0, before any program can lower them; a port left at rate 0 opens with
// them low, but setting a rate then raises them just the same. So the
// program cannot avoid the raise: it lowers them right after (the README
// says so). What each step did to the lines is printed for the record.
void TestHardwareBench::dtrAndRtsAtOpen()
{
    QFETCH(int, device);
    const QList<Event> &events = m_record->events();
    std::map<DtrStudy, bool> raised; // DTR or RTS set during the step
    std::map<DtrStudy, bool> lowAtEnd;
    int mcr = -1, dtr = -1, rts = -1;
    for (int step = 0; step < int(DtrStudy::Count); ++step) {
        const int number = dtrStudyNumber(Device(device), DtrStudy(step));
        const int begin = m_record->markAt(number, int(Phase::Begin));
        const int end = m_record->markAt(number, int(Phase::End));
        QVERIFY2(begin >= 0 && end > begin, qPrintable(u"step %1 is missing from the record"_s.arg(number)));
        QStringList seen;
        bool up = false;
        for (int i = begin + 1; i < end; ++i) {
            const Event &e = events[i];
            if (device == int(Device::Uart) && e.kind == Event::UartWrite && e.address == 4) {
                mcr = e.value;
                up = up || (mcr & 0x03);
                seen << reg(mcr, 2);
            } else if (device == int(Device::Usb) && e.kind == Event::UsbControl && e.address == FtdiModemControl) {
                UsbState lines{};
                lines.dtr = dtr;
                lines.rts = rts;
                lines.apply(e);
                dtr = lines.dtr;
                rts = lines.rts;
                up = up || dtr == 1 || rts == 1;
                seen << u"DTR %1 RTS %2"_s.arg(dtr).arg(rts);
            }
        }
        raised[DtrStudy(step)] = up;
        lowAtEnd[DtrStudy(step)] = device == int(Device::Uart) ? (mcr & 0x03) == 0 : dtr != 1 && rts != 1;
        qInfo("hw: %s, study step %d: %s", device == int(Device::Uart) ? "16550 modem control" : "FTDI modem control",
              step, seen.isEmpty() ? "nothing" : qPrintable(seen.join(u" -> "_s)));
    }
    QVERIFY2(raised[DtrStudy::PlainOpen], "an open at a rate not 0 did not raise DTR or RTS");
    QVERIFY2(!raised[DtrStudy::OpenAtZero], "an open at rate 0 raised DTR or RTS");
    QVERIFY2(raised[DtrStudy::RateFromZero], "a rate set after rate 0 did not raise DTR or RTS");
    QVERIFY2(raised[DtrStudy::ProgramOpenAtZero], "the program's open at rate 0 did not raise DTR or RTS");
    QVERIFY2(lowAtEnd[DtrStudy::ProgramOpenAtZero], "the program left DTR or RTS up");
}

void TestHardwareBench::windowSteps_data()
{
    QTest::addColumn<int>("index");
    const std::vector<StepExpectation> steps = windowExpectations();
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const WindowStep &s = steps[i].step;
        QTest::newRow(qPrintable(u"%1, step %2: %3"_s.arg(QLatin1String(deviceLabel(s.device))).arg(s.number)
                                     .arg(QLatin1String(gestureName(s.gesture)))))
            << int(i);
    }
}

void TestHardwareBench::windowSteps()
{
    QFETCH(int, index);
    const StepExpectation e = windowExpectations()[static_cast<std::size_t>(index)];
    const int number = e.step.number;
    QVERIFY2(m_windowNotes.count(number), "the guest did not get to this step (see run/out/job.log)");
    const QJsonObject note = m_windowNotes.at(number);
    QVERIFY2(note.value(u"running"_s).toBool(), "the program has ended");

    const QStringList boxes = note.value(u"boxes"_s).toVariant().toStringList();
    if (e.boxes >= 0)
        QCOMPARE(boxes.size(), e.boxes);
    for (const QString &title : boxes)
        QCOMPARE(title, u"ZELVAR VKD-417"_s); // the standard error box

    if (e.boxes >= 0) {
        const std::optional<bool> lit = lampLit(runFile(u"out/window-%1.png"_s.arg(number)));
        QVERIFY2(lit.has_value(), "no lamp in the picture of the window");
        QCOMPARE(*lit, e.lampLit);
    }

    const int begin = m_record->markAt(number, int(Phase::Begin));
    const int end = m_record->markAt(number, int(Phase::End));
    QVERIFY2(begin >= 0 && end > begin, "the step's marks are missing from the record");
    const QList<Event> &events = m_record->events();
    const Setting &s = e.setting;
    const int rate = baudRates[static_cast<std::size_t>(s.baudIndex)];
    if (e.step.device == Device::Uart) {
        UartState chip;
        QByteArray out;
        for (int i = 0; i < end; ++i) {
            if (events[i].kind == Event::UartWrite && chip.apply(events[i].address, events[i].value) && i > begin) {
                out.append(char(events[i].value));
                QVERIFY2((chip.mcr & 0x03) == 0, qPrintable(u"byte %1 went out with DTR or RTS up"_s.arg(out.size())));
            }
        }
        QCOMPARE(hex(out), hex(e.bytes));
        if (e.open) {
            const int meaningful = chip.lcr & 0x08 ? 0x3f : 0x07;
            QCOMPARE(reg(chip.lcr & meaningful, 2), reg(uartLineControl(s), 2));
            QCOMPARE(chip.divisor(), uartDivisor(rate));
            QCOMPARE(chip.mcr & 0x03, 0);
        }
    } else if (e.open) {
        const UsbState chip = m_record->usbAt(end);
        QCOMPARE(reg(chip.data, 4), reg(ftdiSetData(s), 4));
        QCOMPARE(reg(chip.baudValue, 4), reg(ftdiBaud(rate).value, 4));
        QVERIFY2(chip.dtr == 0 && chip.rts == 0, qPrintable(u"DTR %1, RTS %2"_s.arg(chip.dtr).arg(chip.rts)));
        QCOMPARE(chip.flow, 0);
    }
}

// Pulled out as the run is sent: either the run goes whole before the
// adapter does, and the next send finds it gone (its box), or the run meets
// the missing adapter (its box), and the next send the closed port (a box
// saying so). Never a byte after the failing one, nor a second box for one
// press.
void TestHardwareBench::pulledOutDuringTheAlphabetRun()
{
    const std::vector<WindowStep> steps = hwbench::windowSteps();
    const auto run = std::find_if(steps.begin(), steps.end(),
                                  [](const WindowStep &s) { return s.gesture == Gesture::PullDuringAlphabet; });
    QVERIFY(run != steps.end() && run + 1 != steps.end());
    QVERIFY(m_windowNotes.count(run->number) && m_windowNotes.count((run + 1)->number));
    const qsizetype atRun = m_windowNotes.at(run->number).value(u"boxes"_s).toArray().size();
    const qsizetype atNext = m_windowNotes.at((run + 1)->number).value(u"boxes"_s).toArray().size();
    QVERIFY2(atRun <= 1, qPrintable(QString::number(atRun)));
    QCOMPARE(atNext, 1);
    // How much of the run came out (the end of the adapter's line; the
    // bytes before are judged by bytesOnTheLine).
    const QByteArray line = readBytes(runFile(u"ftdi.out"_s));
    const qsizetype at = line.lastIndexOf(clearFrame);
    QVERIFY(at >= 0);
    const qsizetype came = line.size() - at - clearFrame.size();
    if (came < alphabetRun().size())
        QCOMPARE(atRun, 1);
    for (const int number : {run->number, (run + 1)->number}) {
        const std::optional<bool> lit = lampLit(runFile(u"out/window-%1.png"_s.arg(number)));
        QVERIFY2(lit.has_value() && !*lit, qPrintable(u"the lamp after step %1"_s.arg(number)));
    }
    qInfo("hw: %lld of the run's %lld bytes went before the adapter; the box came at the %s", qlonglong(came),
          qlonglong(alphabetRun().size()), atRun ? "run itself" : "next send");
}

QTEST_GUILESS_MAIN(TestHardwareBench)
#include "tst_hw.moc"
