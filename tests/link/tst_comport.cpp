#include "comport.h"
#include "comporterror.h"
#include "portname.h"
#include "pseudoterminal.h"
#include "seriallink.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

// Flags of the line as the kernel holds them; <termios.h> cannot be mixed
// with termios2, so the few that matter are spelled out here.
namespace flag {
constexpr unsigned cstopb = 0000100;
constexpr unsigned parodd = 0001000;
constexpr unsigned cmspar = 010000000000;
constexpr unsigned crtscts = 020000000000;
constexpr unsigned ixon = 0002000;
constexpr unsigned ixoff = 0010000;
} // namespace flag


class TestComPort : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void bytesArriveExactly();
    void emptyWriteWritesNothing();
    void lineSettingsShowOnTerminal_data();
    void lineSettingsShowOnTerminal();
    void settingChangedWhileOpenAppliesAtOnce();
    void renamedWhileOpenSendsToNewDeviceOnly();
    void openFails_data();
    void openFails();
    void secondOpenOfPortInUseFails();
    void refusedCombinationFailsNextOpen();
    void refusedChoiceWhileOpenKeepsFormerSettings();
    void leavingARefusedCombinationAllAtOnce();
    void writeTimesOutOnStalledLineAndDiscardsTheRest();
    void deviceGoneClosesPort();
    void closeIsHarmlessWhenClosed();
    void closeLeavesTheDeviceAsItWas();
    void staleLockFileNeverBlocks();
    void fallbackNamesSerialDevice();
    void onlyAnAbsentEntryFallsBack_data();
    void onlyAnAbsentEntryFallsBack();
    void updateOpensAndReportsFailure();

private:
    std::unique_ptr<PortLinks> m_links;
    std::unique_ptr<PseudoTerminal> m_line;
};

void TestComPort::init()
{
    m_links = std::make_unique<PortLinks>();
    m_line = std::make_unique<PseudoTerminal>();
    QVERIFY(m_line->isValid());
    QVERIFY(m_links->link(QStringLiteral("COM1"), m_line->devicePath()));
}

void TestComPort::cleanup()
{
    m_line.reset();
    m_links.reset();
}

void TestComPort::bytesArriveExactly()
{
    ComPort port;
    QSignalSpy lamp(&port, &ComPort::openChanged);
    port.open();
    QVERIFY(port.isOpen());
    QCOMPARE(lamp.count(), 1);
    QCOMPARE(lamp.at(0).at(0).toBool(), true);

    // Every byte value, the line ends and the frame bytes among them, must
    // pass untouched: no newline translation, no flow-control characters.
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(static_cast<char>(b));
    port.write(all);
    QCOMPARE(m_line->readExactly(all.size()), all);
    QCOMPARE(m_line->readAvailable(), QByteArray());
}

void TestComPort::emptyWriteWritesNothing()
{
    ComPort port;
    port.open();
    port.write({});
    QCOMPARE(m_line->readAvailable(), QByteArray());
}

void TestComPort::lineSettingsShowOnTerminal_data()
{
    QTest::addColumn<qint32>("rate");
    QTest::addColumn<int>("dataBits");
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<unsigned>("setFlags");
    QTest::addColumn<unsigned>("clearFlags");

    const unsigned parityFlags = flag::parodd | flag::cmspar;
    for (const qint32 rate : baudRates)
        QTest::addRow("%d bit/s, 8N1", rate) << rate << 3 << 0 << 0 << 0u << (flag::cstopb | parityFlags);
    QTest::newRow("odd parity") << 9600 << 3 << int(Parity::Odd) << 0 << flag::parodd << flag::cmspar;
    QTest::newRow("even parity") << 9600 << 3 << int(Parity::Even) << 0 << 0u << parityFlags;
    QTest::newRow("mark parity") << 9600 << 3 << int(Parity::Mark) << 0 << parityFlags << 0u;
    QTest::newRow("space parity") << 9600 << 3 << int(Parity::Space) << 0 << flag::cmspar << flag::parodd;
    QTest::newRow("2 stop bits") << 9600 << 3 << 0 << int(StopBits::Two) << flag::cstopb << 0u;
    QTest::newRow("1.5 stop bits, 5 data bits") << 1200 << 0 << 0 << int(StopBits::OneAndHalf)
                                                << flag::cstopb << 0u;
    QTest::newRow("7 data bits") << 9600 << 2 << 0 << 0 << 0u << flag::cstopb;
}

void TestComPort::lineSettingsShowOnTerminal()
{
    QFETCH(qint32, rate);
    QFETCH(int, dataBits);
    QFETCH(int, parity);
    QFETCH(int, stopBits);
    QFETCH(unsigned, setFlags);
    QFETCH(unsigned, clearFlags);

    const LineSettings settings{rate, static_cast<DataBits>(dataBits), static_cast<Parity>(parity),
                                static_cast<StopBits>(stopBits)};
    // Taken at open and, all at once, by a port already open at 8N1: a
    // pseudo-terminal keeps no data-bit size or parity enable, which must
    // not make it refuse them.
    for (const bool whileOpen : {false, true}) {
        ComPort port;
        if (whileOpen)
            port.open();
        port.setSettings(QStringLiteral("COM1"), settings);
        port.open();

        const TerminalSettings line = m_line->settings();
        QCOMPARE(line.outputSpeed, unsigned(rate));
        QCOMPARE(line.cflag & setFlags, setFlags);
        QCOMPARE(line.cflag & clearFlags, 0u);
        QCOMPARE(line.cflag & flag::crtscts, 0u);
        QCOMPARE(line.iflag & (flag::ixon | flag::ixoff), 0u);
        QCOMPARE(port.settings(), settings);
    }
}

void TestComPort::settingChangedWhileOpenAppliesAtOnce()
{
    ComPort port;
    port.open();
    QCOMPARE(m_line->settings().outputSpeed, 9600u);
    port.setBaudRate(14400);
    QCOMPARE(m_line->settings().outputSpeed, 14400u);
    port.setStopBits(StopBits::Two);
    QVERIFY(m_line->settings().cflag & flag::cstopb);
    port.setParity(Parity::Odd);
    QVERIFY(m_line->settings().cflag & flag::parodd);
}

void TestComPort::renamedWhileOpenSendsToNewDeviceOnly()
{
    PseudoTerminal second;
    QVERIFY(m_links->link(QStringLiteral("COM2"), second.devicePath()));
    ComPort port;
    port.setBaudRate(19200);
    port.open();
    port.setPort(QStringLiteral("COM2"));
    QVERIFY(port.isOpen());
    port.write("to the second");
    QCOMPARE(second.readExactly(13), QByteArray("to the second"));
    QCOMPARE(second.settings().outputSpeed, 19200u);
    QCOMPARE(m_line->readAvailable(), QByteArray());
}

void TestComPort::openFails_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("target"); // what COM2 is linked to; empty: no link

    QTest::newRow("link to nothing") << "COM2" << "/nonexistent/port";
    QTest::newRow("link to a folder") << "COM2" << "/";
    QTest::newRow("not a COM name") << "LPT1" << "";
    QTest::newRow("COM0") << "COM0" << "";
    QTest::newRow("link to a regular file") << "COM2" << "FILE";
}

void TestComPort::openFails()
{
    QFETCH(QString, portName);
    QFETCH(QString, target);

    const QString file = m_links->folder() + QStringLiteral("/not-a-port.txt");
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("untouched");
    }
    if (target == QLatin1String("FILE"))
        target = file;
    if (!target.isEmpty())
        QVERIFY(m_links->link(QStringLiteral("COM2"), target));

    ComPort port;
    port.setPort(portName);
    QSignalSpy lamp(&port, &ComPort::openChanged);
    QVERIFY_THROWS_EXCEPTION(ComPortError, port.open());
    QVERIFY(!port.isOpen());
    QCOMPARE(lamp.count(), 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("untouched"));
}

void TestComPort::secondOpenOfPortInUseFails()
{
    ComPort first;
    first.open();
    ComPort second;
    const QString error = errorOf([&] { second.open(); });
    QVERIFY2(error.startsWith(QStringLiteral("COM1: Cannot open ")), qPrintable(error));
    QVERIFY(!second.isOpen());
    first.write("A");
    QCOMPARE(m_line->readExactly(1), QByteArray("A"));
}

void TestComPort::refusedCombinationFailsNextOpen()
{
    struct Case { DataBits data; StopBits stop; };
    for (const Case c : {Case{DataBits::Eight, StopBits::OneAndHalf}, Case{DataBits::Five, StopBits::Two}}) {
        ComPort port;
        port.setDataBits(c.data);
        port.setStopBits(c.stop); // nothing to apply to a closed port
        QVERIFY_THROWS_EXCEPTION(ComPortError, port.open());
        QVERIFY(!port.isOpen());
    }
}

void TestComPort::refusedChoiceWhileOpenKeepsFormerSettings()
{
    // 7 data bits, even parity and 1.5 stop bits chosen together on a port
    // open at 19200 8N1: the choice is refused whole, nothing of it applied.
    ComPort port;
    port.setBaudRate(19200);
    port.open();
    const TerminalSettings before = m_line->settings();
    const QString error = errorOf([&] {
        port.setSettings(QStringLiteral("COM1"), {2400, DataBits::Seven, Parity::Even, StopBits::OneAndHalf});
    });
    QCOMPARE(error, QStringLiteral("COM1: 1.5 stop bits can only be used with 5 data bits"));
    QVERIFY(port.isOpen());
    QCOMPARE(m_line->settings().cflag, before.cflag);
    QCOMPARE(m_line->settings().outputSpeed, 19200u);
    QCOMPARE(port.settings(), (LineSettings{19200, DataBits::Eight, Parity::None, StopBits::One}));
}

void TestComPort::leavingARefusedCombinationAllAtOnce()
{
    // From 5 data bits with 1.5 stop bits to 8 with 1 in one step: 8 with
    // 1.5 never stands between them.
    ComPort port;
    port.setDataBits(DataBits::Five);
    port.setStopBits(StopBits::OneAndHalf);
    port.open();
    QVERIFY(m_line->settings().cflag & flag::cstopb);
    port.setSettings(QStringLiteral("COM1"), {9600, DataBits::Eight, Parity::None, StopBits::One});
    QVERIFY(!(m_line->settings().cflag & flag::cstopb));
}

void TestComPort::writeTimesOutOnStalledLineAndDiscardsTheRest()
{
    ComPort port;
    port.setWriteTimeout(200, 0);
    port.open();
    const QByteArray big(1 << 20, 'x');
    QCOMPARE(errorOf([&] { port.write(big); }), QStringLiteral("COM1: Write timed out"));
    QVERIFY(port.isOpen());

    // What the terminal had taken before the time-out may be read; nothing
    // of the rest comes later.
    const QByteArray before = m_line->readAvailable();
    QVERIFY(before.size() < big.size());
    QCOMPARE(m_line->readAvailable(300), QByteArray());

    port.write("next");
    QCOMPARE(m_line->readExactly(4), QByteArray("next"));
}

void TestComPort::deviceGoneClosesPort()
{
    ComPort port;
    port.open();
    QSignalSpy lamp(&port, &ComPort::openChanged);
    m_line->closeMaster();
    const QString error = errorOf([&] { port.write("lost"); });
    QVERIFY2(error.startsWith(QStringLiteral("COM1: Write error")), qPrintable(error));
    QVERIFY2(error.endsWith(QStringLiteral("; the port has been closed")), qPrintable(error));
    QVERIFY(!port.isOpen());
    QCOMPARE(lamp.count(), 1);
    QCOMPARE(lamp.at(0).at(0).toBool(), false);
}

void TestComPort::closeIsHarmlessWhenClosed()
{
    ComPort port;
    QSignalSpy lamp(&port, &ComPort::openChanged);
    port.close();
    QCOMPARE(lamp.count(), 0);
    QVERIFY_THROWS_EXCEPTION(ComPortError, port.write("x"));
    QVERIFY_THROWS_EXCEPTION(ComPortError, port.clearBuffers());
}

void TestComPort::closeLeavesTheDeviceAsItWas()
{
    // As another program left it: 1200 bit/s, 2 stop bits, odd parity.
    const TerminalSettings left{m_line->settings().cflag | flag::cstopb | flag::parodd,
                                m_line->settings().iflag, 1200, 1200};
    QVERIFY(m_line->setSettings(left));
    const TerminalSettings before = m_line->settings();
    const QString lockFile = QStringLiteral("/run/lock/LCK..") + m_line->devicePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));

    ComPort port;
    port.setBaudRate(19200);
    port.open();
    QCOMPARE(m_line->settings().outputSpeed, 19200u);
    QVERIFY(m_line->isExclusive());
    // The lock file that minicom, cu and the like look for, with this
    // program's number in it.
    QFile lock(lockFile);
    QVERIFY2(lock.open(QIODevice::ReadOnly), qPrintable(lockFile));
    QCOMPARE(lock.readAll().trimmed().toLongLong(), qint64(QCoreApplication::applicationPid()));
    lock.close();

    port.close();
    QCOMPARE(m_line->settings(), before);
    QVERIFY(!m_line->isExclusive());
    QVERIFY(!QFileInfo::exists(lockFile));
}

void TestComPort::staleLockFileNeverBlocks()
{
    // The lock file of a program that ended without removing it.
    QProcess gone;
    gone.start(QStringLiteral("true"));
    QVERIFY(gone.waitForStarted());
    const qint64 deadPid = gone.processId();
    QVERIFY(gone.waitForFinished());
    const QString lockFile = QStringLiteral("/run/lock/LCK..") + m_line->devicePath().mid(5).replace(QLatin1Char('/'), QLatin1Char('_'));
    {
        QFile lock(lockFile);
        QVERIFY2(lock.open(QIODevice::WriteOnly | QIODevice::NewOnly), qPrintable(lockFile));
        lock.write(QByteArray::number(deadPid).rightJustified(10, ' ') + '\n');
    }

    ComPort port;
    port.open();
    port.write("A");
    QCOMPARE(m_line->readExactly(1), QByteArray("A"));
    QFile lock(lockFile);
    QVERIFY(lock.open(QIODevice::ReadOnly));
    QCOMPARE(lock.readAll().trimmed().toLongLong(), qint64(QCoreApplication::applicationPid()));
    lock.close();
    port.close();
    QVERIFY(!QFileInfo::exists(lockFile));
}

void TestComPort::fallbackNamesSerialDevice()
{
    m_links->unlink(QStringLiteral("COM3"));
    m_links->unlink(QStringLiteral("COM8"));
    QCOMPARE(resolvePortName(QStringLiteral("COM3")).path, QStringLiteral("/dev/ttyS2"));
    QCOMPARE(resolvePortName(QStringLiteral("COM8")).path, QStringLiteral("/dev/ttyS7"));
    QCOMPARE(resolvePortName(QStringLiteral("COM1")).path, m_line->devicePath());
    QVERIFY(resolvePortName(QStringLiteral("COM")).path.isEmpty());
    QVERIFY(resolvePortName(QStringLiteral("/dev/ttyS0")).path.isEmpty());

    // What the window shows on each entry of its port list.
    QCOMPARE(describePortName(QStringLiteral("COM1")), m_line->devicePath());
    QVERIFY(describePortName(QStringLiteral("COM3")).startsWith(QStringLiteral("/dev/ttyS2, no link")));
    QCOMPARE(describePortName(QStringLiteral("COM2")), QStringLiteral("/nonexistent/vkd417-test-port, not present"));
    QCOMPARE(describePortName(QStringLiteral("LPT1")), QStringLiteral("No such port"));
}

void TestComPort::onlyAnAbsentEntryFallsBack_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("error");
    QTest::newRow("a file where the link would be") << "ports/COM3" << "is not a link to a device";
    QTest::newRow("a folder where the link would be") << "ports/COM3/" << "is not a link to a device";
    QTest::newRow("a file where the folder would be") << "ports" << "Not a directory";
}

void TestComPort::onlyAnAbsentEntryFallsBack()
{
    QFETCH(QString, entry);
    QFETCH(QString, error);

    // Something the operator put there, which cannot be read as a link, must
    // not send the bytes to the machine's own serial port instead.
    const QString ports = m_links->folder() + QStringLiteral("/vkd417-demo/ports");
    QVERIFY(QDir(ports).removeRecursively());
    const QString path = m_links->folder() + QStringLiteral("/vkd417-demo/") + entry;
    QDir().mkpath(QFileInfo(ports).path());
    if (entry.endsWith(QLatin1Char('/'))) {
        QVERIFY(QDir().mkpath(path));
    } else {
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
    }
    const PortDevice device = resolvePortName(QStringLiteral("COM3"));
    QVERIFY(device.path.isEmpty());
    QVERIFY2(device.error.contains(error), qPrintable(device.error));

    ComPort port;
    port.setPort(QStringLiteral("COM3"));
    QVERIFY(errorOf([&] { port.open(); }).contains(error));
}

void TestComPort::updateOpensAndReportsFailure()
{
    ComPort port;
    SerialLink link(port);
    const PortChoice good{5, QStringLiteral("COM1"), 0, 3, 0};
    QCOMPARE(link.update(good, true), SerialLink::UpdateResult::Opened);
    QVERIFY(link.portOpened());
    QVERIFY(port.isOpen());
    link.send("abc");
    QCOMPARE(m_line->readExactly(3), QByteArray("abc"));

    QCOMPARE(link.update(good, false), SerialLink::UpdateResult::Closed);
    QVERIFY(link.portOpened()); // unchanged by closing
    QVERIFY(!port.isOpen());

    const PortChoice missing{5, QStringLiteral("COM4"), 0, 3, 0};
    QCOMPARE(link.update(missing, true), SerialLink::UpdateResult::OpenFailed);
    QVERIFY(!link.portOpened());
    QVERIFY(!port.isOpen());
    link.send("never");
    QCOMPARE(m_line->readAvailable(), QByteArray());
}

QTEST_GUILESS_MAIN(TestComPort)
#include "tst_comport.moc"
