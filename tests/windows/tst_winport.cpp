// The serial component of the Windows build, on a COM port that wine leads
// to a pseudo-terminal: vkd417-monitor (the Linux one) holds its far end and
// logs every byte and every change of the line settings it sees there, and
// the test reads that log. scripts/windows sets this up (in a mount
// namespace where wine sees no serial device of the machine) and gives the
// log as VKD_MONITOR_LOG; without it the test opens no port at all.
//
// A pseudo-terminal keeps the rate and the stop bits but forces 8 data bits
// and no parity, and wine has no 14400 bit/s for it: what it drops must be
// refused by name, the line keeping what it had.

#include "comport.h"
#include "comporterror.h"
#include "jsonlines.h"
#include "waitfor.h"

#include <QTest>

using namespace Qt::StringLiterals;

namespace {


struct Seen
{
    QByteArray bytes;      // every byte the far end got
    QJsonObject settings;  // the last line settings it saw
};

} // namespace

class TestWindowsPort : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();

    void settingsOnTheLine_data();
    void settingsOnTheLine();
    void refusedWhileOpenKeepsTheLine();
    void everyByteArrives();
    void portLeadingNowhereDoesNotOpen();
    void nameThatIsNoComPortIsRefused();

private:
    Seen seen() const;
    // Waits until the far end has got `count` more bytes than `before`.
    bool waitForBytes(qsizetype count, qsizetype before, Seen &now) const;

    QString m_log;
};

Seen TestWindowsPort::seen() const
{
    Seen out;
    for (const QJsonObject &e : readJsonLines(m_log)) {
        const QString kind = e.value("kind"_L1).toString();
        if (kind == "settings"_L1)
            out.settings = e;
        else if (kind != "start"_L1)
            out.bytes += QByteArray::fromHex(e.value("bytes"_L1).toString().toLatin1());
    }
    return out;
}

bool TestWindowsPort::waitForBytes(qsizetype count, qsizetype before, Seen &now) const
{
    return waitFor(
        [&] {
            now = seen();
            return now.bytes.size() >= before + count;
        },
        10000);
}

void TestWindowsPort::initTestCase()
{
    m_log = qEnvironmentVariable("VKD_MONITOR_LOG");
    if (m_log.isEmpty())
        QSKIP("needs COM1 leading to vkd417-monitor, as scripts/windows sets it up");
    QVERIFY2(waitFor([&] { return !readJsonLines(m_log).isEmpty(); }), "the monitor has not started");
}

void TestWindowsPort::settingsOnTheLine_data()
{
    QTest::addColumn<qint32>("rate");
    QTest::addColumn<DataBits>("dataBits");
    QTest::addColumn<Parity>("parity");
    QTest::addColumn<StopBits>("stopBits");
    QTest::addColumn<QString>("refused"); // the error, when the line keeps 9600 8N1

    QTest::newRow("9600 8N1") << 9600 << DataBits::Eight << Parity::None << StopBits::One << QString();
    QTest::newRow("300 8N2") << 300 << DataBits::Eight << Parity::None << StopBits::Two << QString();
    QTest::newRow("2400 8N1") << 2400 << DataBits::Eight << Parity::None << StopBits::One << QString();
    QTest::newRow("19200 8N2") << 19200 << DataBits::Eight << Parity::None << StopBits::Two << QString();
    QTest::newRow("14400 is dropped by wine")
        << 14400 << DataBits::Eight << Parity::None << StopBits::One << u"COM1: COM1 cannot send 14400 bit/s"_s;
    QTest::newRow("7 data bits are dropped by the terminal")
        << 4800 << DataBits::Seven << Parity::None << StopBits::One << u"COM1: COM1 cannot send 7 data bits"_s;
    QTest::newRow("odd parity is dropped by the terminal")
        << 4800 << DataBits::Eight << Parity::Odd << StopBits::One << u"COM1: COM1 cannot send odd parity"_s;
    QTest::newRow("mark parity is dropped by the terminal")
        << 1200 << DataBits::Eight << Parity::Mark << StopBits::Two << u"COM1: COM1 cannot send mark parity"_s;
}

void TestWindowsPort::settingsOnTheLine()
{
    QFETCH(qint32, rate);
    QFETCH(DataBits, dataBits);
    QFETCH(Parity, parity);
    QFETCH(StopBits, stopBits);
    QFETCH(QString, refused);

    ComPort port;
    port.setPort(u"COM1"_s);
    port.setBaudRate(rate);
    port.setDataBits(dataBits);
    port.setParity(parity);
    port.setStopBits(stopBits);
    const QString error = errorOf([&] { port.open(); });
    QCOMPARE(error, refused);
    QCOMPARE(port.isOpen(), refused.isEmpty());
    if (!refused.isEmpty()) {
        // Refused at the opening: the port is shut and the next program
        // finds the line as it was; open it as it was to see that.
        port.setBaudRate(9600);
        port.setDataBits(DataBits::Eight);
        port.setParity(Parity::None);
        port.setStopBits(StopBits::One);
        QCOMPARE(errorOf([&] { port.open(); }), QString());
    }

    const qsizetype before = seen().bytes.size();
    const QByteArray bytes = QByteArray::fromHex("0401433158170041ff");
    QCOMPARE(errorOf([&] { port.write(bytes); }), QString());
    Seen now;
    QVERIFY2(waitForBytes(bytes.size(), before, now), qPrintable(u"the far end got [%1]"_s.arg(
                                                           QString::fromLatin1(now.bytes.mid(before).toHex(' ')))));
    QCOMPARE(now.bytes.mid(before), bytes);
    QCOMPARE(now.settings.value("baud"_L1).toInt(), refused.isEmpty() ? rate : 9600);
    QCOMPARE(now.settings.value("stopBits"_L1).toInt(),
             refused.isEmpty() && stopBits == StopBits::Two ? 2 : 1);
}

void TestWindowsPort::refusedWhileOpenKeepsTheLine()
{
    ComPort port;
    port.setPort(u"COM1"_s);
    port.setBaudRate(2400);
    QCOMPARE(errorOf([&] { port.open(); }), QString());
    QCOMPARE(errorOf([&] { port.setBaudRate(14400); }), u"COM1: COM1 cannot send 14400 bit/s"_s);
    QVERIFY(port.isOpen());

    const qsizetype before = seen().bytes.size();
    QCOMPARE(errorOf([&] { port.write("after"); }), QString());
    Seen now;
    QVERIFY(waitForBytes(5, before, now));
    QCOMPARE(now.bytes.mid(before), "after");
    QCOMPARE(now.settings.value("baud"_L1).toInt(), 2400);
}

// The whole byte range at once, in order: nothing translated, nothing lost.
void TestWindowsPort::everyByteArrives()
{
    ComPort port;
    port.setPort(u"COM1"_s);
    QCOMPARE(errorOf([&] { port.open(); }), QString());
    QByteArray bytes;
    for (int i = 0; i < 256; ++i)
        bytes += char(i);
    bytes += bytes;
    const qsizetype before = seen().bytes.size();
    QCOMPARE(errorOf([&] { port.clearBuffers(); }), QString());
    QCOMPARE(errorOf([&] { port.write(bytes); }), QString());
    Seen now;
    QVERIFY(waitForBytes(bytes.size(), before, now));
    QCOMPARE(now.bytes.mid(before).toHex(' '), bytes.toHex(' '));
}

void TestWindowsPort::portLeadingNowhereDoesNotOpen()
{
    // COM2 leads to a link that points at nothing.
    ComPort port;
    port.setPort(u"COM2"_s);
    const QString error = errorOf([&] { port.open(); });
    QVERIFY2(error.startsWith("COM2: Cannot open COM2: "_L1), qPrintable(error));
    QVERIFY(!port.isOpen());
    QCOMPARE(errorOf([&] { port.write("A"); }), u"COM2: The port is not open"_s);
}

void TestWindowsPort::nameThatIsNoComPortIsRefused()
{
    // Never handed to CreateFile, which would open a file of that name.
    ComPort port;
    port.setPort(u"..\\COM1"_s);
    QCOMPARE(errorOf([&] { port.open(); }), u"..\\COM1: No such port"_s);
    QVERIFY(!port.isOpen());
}

QTEST_GUILESS_MAIN(TestWindowsPort)
#include "tst_winport.moc"
