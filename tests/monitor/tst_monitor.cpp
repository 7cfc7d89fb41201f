#include "eventformat.h"
#include "jsonlines.h"
#include "waitfor.h"
#include "streamdecoder.h"
#include "terminalline.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

using namespace Qt::StringLiterals;
using namespace std::chrono_literals;
using monitor::Clock;
using monitor::Event;

namespace {

display::Bytes toBytes(const QByteArray &data)
{
    return display::Bytes(data.begin(), data.end());
}

QByteArray fromBytes(const display::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

// What the screen says an event is, without its stamp.
QString render(const Event &e)
{
    return QString::fromStdString(std::string(monitor::kindName(e.kind)) + " " + monitor::summary(e));
}

QStringList render(const std::vector<Event> &events)
{
    QStringList out;
    for (const Event &e : events)
        out << render(e);
    return out;
}

QByteArray concatenated(const std::vector<Event> &events)
{
    QByteArray out;
    for (const Event &e : events)
        out += fromBytes(e.bytes);
    return out;
}

void append(std::vector<Event> &to, std::vector<Event> more)
{
    to.insert(to.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
}

// All of it in one read, then the end of the run.
std::vector<Event> decodeAll(const QByteArray &input)
{
    monitor::StreamDecoder decoder;
    const display::Bytes bytes = toBytes(input);
    std::vector<Event> events = decoder.feed(bytes, Clock::time_point{});
    append(events, decoder.finish());
    return events;
}

QList<QJsonObject> ofKind(const QList<QJsonObject> &events, const QStringList &kinds)
{
    QList<QJsonObject> out;
    for (const QJsonObject &e : events) {
        if (kinds.contains(e.value("kind"_L1).toString()))
            out << e;
    }
    return out;
}

const QStringList dataKinds = {u"command"_s, u"frame"_s, u"text"_s, u"control"_s};

// The monitor under test, with a configuration folder of its own; stopped
// when the test ends, however it ends.
class MonitorRun
{
public:
    // Another run's folder, when given, is shared with that run.
    explicit MonitorRun(const QString &config = {}) : m_configPath(config.isEmpty() ? m_config.path() : config)
    {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(u"XDG_CONFIG_HOME"_s, m_configPath);
        m_process.setProcessEnvironment(env);
        m_process.setProgram(QStringLiteral(VKD_MONITOR_PROGRAM));
    }

    ~MonitorRun()
    {
        if (m_process.state() != QProcess::NotRunning) {
            m_process.terminate();
            if (!m_process.waitForFinished(5000))
                m_process.kill();
            m_process.waitForFinished(1000);
        }
    }

    // "@" in an argument stands for the configuration folder.
    bool start(QStringList arguments = {})
    {
        for (QString &a : arguments)
            a.replace(u'@', m_configPath);
        m_process.setArguments(arguments);
        m_process.start();
        if (!m_process.waitForStarted(5000))
            return false;
        // Whatever the monitor does, it never waits for its input.
        m_process.closeWriteChannel();
        return true;
    }

    QString link(const QString &comName = u"COM1"_s) const
    {
        return m_configPath + u"/vkd417-demo/ports/"_s + comName;
    }
    // The note beside the link that says which monitor made it.
    QString ownerRecord(const QString &comName = u"COM1"_s) const { return link(comName) + u".monitor"_s; }
    QString logPath() const { return m_configPath + u"/log.jsonl"_s; }
    QString configPath() const { return m_configPath; }

    // The device the link leads to, once the monitor has made it.
    QString waitForDevice(const QString &comName = u"COM1"_s) const
    {
        QString device;
        waitFor([&] {
            device = QFileInfo(link(comName)).symLinkTarget();
            return device.startsWith("/dev/pts/"_L1);
        });
        return device;
    }

    bool signal(int number) { return ::kill(static_cast<pid_t>(m_process.processId()), number) == 0; }
    QProcess &process() { return m_process; }

private:
    QTemporaryDir m_config;
    QString m_configPath;
    QProcess m_process;
};

// A sender's end of the virtual port.
class Sender
{
public:
    explicit Sender(const QString &device)
        : m_fd(::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY))
    {
    }
    ~Sender()
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    bool isOpen() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    bool write(const QByteArray &bytes)
    {
        return ::write(m_fd, bytes.constData(), static_cast<size_t>(bytes.size())) == bytes.size();
    }

private:
    int m_fd = -1;
};

} // namespace

class tst_Monitor : public QObject
{
    Q_OBJECT

private slots:
    void decode_data();
    void decode();
    void splitFrame_data();
    void splitFrame();
    void quietLine_data();
    void quietLine();
    void gapCountsFromLastByte();
    void garbageNeverDropped_data();
    void garbageNeverDropped();
    void jsonLine_data();
    void jsonLine();
    void jsonStringEscapes_data();
    void jsonStringEscapes();
    void jsonStringOfAnyBytes_data();
    void jsonStringOfAnyBytes();
    void settingsSummary_data();
    void settingsSummary();

    void showsWhatArrives();
    void reportsLineSettings_data();
    void reportsLineSettings();
    void stopsOnSignal_data();
    void stopsOnSignal();
    void logValidInAFolderNotNamedInUtf8();
    void takenName_data();
    void takenName();
    void linkOfAnEarlierMonitor_data();
    void linkOfAnEarlierMonitor();
    void staleLinksUnderOtherNames();
    void refusesToStart_data();
    void refusesToStart();
    void help();
};

void tst_Monitor::decode_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QStringList>("expected");

    const auto row = [](const char *name, const char *hex, const QStringList &expected) {
        QTest::newRow(name) << QByteArray::fromHex(hex) << expected;
    };

    row("clear", "040143315817", {u"command clear"_s});
    row("cursor", "0401503117", {u"command cursor"_s});
    row("Russian set", "0401493A17", {u"command Russian character set"_s});
    row("English set", "0401493017", {u"command English character set"_s});
    row("German set", "0401493217", {u"command German character set"_s});
    row("store demo", "0401533217", {u"command store demo"_s});
    row("printer on", "04011B4717", {u"command printer on"_s});
    row("printer off", "04011B5317", {u"command printer off"_s});

    row("show demo 1", "040144323117", {u"command show demo, mode 1 (horizontal scroll)"_s});
    row("show demo 2", "040144323217", {u"command show demo, mode 2 (vertical scroll)"_s});
    row("show demo 3", "040144323317", {u"command show demo, mode 3 (blinking)"_s});
    row("show demo 4", "040144323417", {u"command show demo, mode 4 (mode1+mode2)"_s});
    row("show demo 5", "040144323517", {u"command show demo, mode 5 (mode1+mode3)"_s});
    row("show demo 6", "040144323617", {u"command show demo, mode 6 (mode2+mode3)"_s});
    row("show demo 7", "040144323717", {u"command show demo, mode 7 (mode1+mode2+mode3)"_s});
    row("show demo 0 is no command", "040144323017", {u"frame unknown frame"_s});
    row("show demo 8 is no command", "040144323817", {u"frame unknown frame"_s});
    row("show demo without a mode", "0401443217", {u"frame unknown frame"_s});

    row("rate code 1", "040142314E17", {u"command display baud rate 9600"_s});
    row("rate code 2", "040142324E17", {u"command display baud rate 4800"_s});
    row("rate code 3", "040142334E17", {u"command display baud rate 2400"_s});
    row("rate code 4", "040142344E17", {u"command display baud rate 1200"_s});
    row("rate code 5", "040142354E17", {u"command display baud rate 600"_s});
    row("rate code 6", "040142364E17", {u"command display baud rate 300"_s});
    row("rate code 0 is no command", "040142304E17", {u"frame unknown frame"_s});
    row("rate code 7 is no command", "040142374E17", {u"frame unknown frame"_s});
    row("rate without its N", "040142325817", {u"frame unknown frame"_s});

    row("unknown body", "04015A3917", {u"frame unknown frame"_s});
    row("empty body", "040117", {u"frame unknown frame"_s});
    row("clear with one byte more", "04014331585817", {u"frame unknown frame"_s});
    row("control byte in a body", "04010D17", {u"frame unknown frame"_s});
    row("body of 8 bytes is still a frame", "0401313233343536373817", {u"frame unknown frame"_s});
    row("body of 9 bytes is given up", "040131323334353637383917",
        {u"control 04 (EOT)"_s, u"control 01 (SOH)"_s, u"text \"123456789\""_s, u"control 17 (ETB)"_s});
    row("two frames in one read", "0401433158170401503117", {u"command clear"_s, u"command cursor"_s});

    row("text Добро", "84AEA1E0AE", {u"text \"Добро\""_s});
    row("text Добро пожаловать!", "84AEA1E0AE20AFAEA6A0ABAEA2A0E2EC21", {u"text \"Добро пожаловать!\""_s});
    row("ASCII text", "48656C6C6F2C20776F726C64", {u"text \"Hello, world\""_s});
    row("alphabet run",
        "808182838485868788898A8B8C8D8E8F909192939495969798999A9B9C9D9E9FA0A1A2A3A4A5A6A7",
        {u"text \"АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежз\""_s});
    row("Ё and ё of code page 866", "F0F1", {u"text \"Ёё\""_s});
    row("Windows-1251 Ё sent unconverted", "A8ABAAA0", {u"text \"илка\""_s});
    row("box drawing signs", "B0DBC4", {u"text \"░█─\""_s});

    row("NUL", "00", {u"control 00 (NUL)"_s});
    row("CR", "0D", {u"control 0D (CR)"_s});
    row("LF", "0A", {u"control 0A (LF)"_s});
    row("DEL", "7F", {u"control 7F (DEL)"_s});
    row("ESC alone", "1B", {u"control 1B (ESC)"_s});
    row("SOH alone", "01", {u"control 01 (SOH)"_s});
    row("ETB alone", "17", {u"control 17 (ETB)"_s});
    row("control between text", "41420D4344", {u"text \"AB\""_s, u"control 0D (CR)"_s, u"text \"CD\""_s});
    row("text right before a frame", "4869040143315817", {u"text \"Hi\""_s, u"command clear"_s});
    row("text right after a frame", "0401433158174869", {u"command clear"_s, u"text \"Hi\""_s});

    row("EOT without SOH", "0441", {u"control 04 (EOT)"_s, u"text \"A\""_s});
    row("EOT twice, then a frame", "040401503117", {u"control 04 (EOT)"_s, u"command cursor"_s});
    row("frame started again", "0401430401503117",
        {u"control 04 (EOT)"_s, u"control 01 (SOH)"_s, u"text \"C\""_s, u"command cursor"_s});
    row("frame cut off at the end", "04014331",
        {u"control 04 (EOT)"_s, u"control 01 (SOH)"_s, u"text \"C1\""_s});
    row("EOT at the very end", "4104", {u"text \"A\""_s, u"control 04 (EOT)"_s});
}

void tst_Monitor::decode()
{
    QFETCH(QByteArray, input);
    QFETCH(QStringList, expected);

    const std::vector<Event> events = decodeAll(input);
    QCOMPARE(render(events), expected);
    QCOMPARE(concatenated(events), input);
}

void tst_Monitor::splitFrame_data()
{
    QTest::addColumn<QByteArray>("input");

    QTest::newRow("clear") << QByteArray::fromHex("040143315817");
    QTest::newRow("printer on") << QByteArray::fromHex("04011B4717");
    QTest::newRow("show demo 7") << QByteArray::fromHex("040144323717");
    QTest::newRow("display baud rate 300") << QByteArray::fromHex("040142364E17");
    QTest::newRow("unknown frame") << QByteArray::fromHex("04015A3917");
    QTest::newRow("text") << QByteArray::fromHex("84AEA1E0AE");
}

// Whatever the point at which a read ends, the event is the same, and is
// given only once it is whole.
void tst_Monitor::splitFrame()
{
    QFETCH(QByteArray, input);
    const std::vector<Event> whole = decodeAll(input);
    QCOMPARE(whole.size(), std::size_t(1));

    const Clock::time_point t0{};
    for (qsizetype split = 1; split < input.size(); ++split) {
        monitor::StreamDecoder decoder;
        std::vector<Event> events = decoder.feed(toBytes(input.first(split)), t0);
        QVERIFY2(events.empty(), qPrintable(u"split after %1 bytes"_s.arg(split)));
        append(events, decoder.feed(toBytes(input.sliced(split)), t0 + 10ms));
        append(events, decoder.finish());

        QCOMPARE(render(events), render(whole));
        QCOMPARE(concatenated(events), input);
        QVERIFY(events.front().arrived == t0);
    }
}

void tst_Monitor::quietLine_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<int>("quietMs");
    QTest::addColumn<QStringList>("expected");

    const QStringList givenUp = {u"control 04 (EOT)"_s, u"control 01 (SOH)"_s, u"text \"C1\""_s};
    QTest::newRow("started frame, shortly after") << QByteArray::fromHex("04014331") << 199 << QStringList();
    QTest::newRow("started frame, after the gap") << QByteArray::fromHex("04014331") << 200 << givenUp;
    QTest::newRow("lone EOT, after the gap") << QByteArray::fromHex("04") << 200 << QStringList{u"control 04 (EOT)"_s};
    QTest::newRow("text, shortly after") << QByteArray("AB") << 29 << QStringList();
    QTest::newRow("text, after the quiet time") << QByteArray("AB") << 30 << QStringList{u"text \"AB\""_s};
}

// A quiet line ends what is held, after the time set for it.
void tst_Monitor::quietLine()
{
    QFETCH(QByteArray, input);
    QFETCH(int, quietMs);
    QFETCH(QStringList, expected);

    monitor::DecoderTiming timing;
    timing.frameGap = 200ms;
    timing.textQuiet = 30ms;
    monitor::StreamDecoder decoder(timing);
    const Clock::time_point t0{};
    QVERIFY(decoder.feed(toBytes(input), t0).empty());
    QVERIFY(decoder.deadline().has_value());

    const std::vector<Event> events = decoder.expire(t0 + std::chrono::milliseconds(quietMs));
    QCOMPARE(render(events), expected);
    // Once all is shown there is nothing to wait for.
    QCOMPARE(decoder.deadline().has_value(), expected.isEmpty());
}

void tst_Monitor::gapCountsFromLastByte()
{
    monitor::DecoderTiming timing;
    timing.frameGap = 200ms;
    monitor::StreamDecoder decoder(timing);
    const Clock::time_point t0{};

    QVERIFY(decoder.feed(toBytes(QByteArray::fromHex("04")), t0).empty());
    QVERIFY(decoder.feed(toBytes(QByteArray::fromHex("0143")), t0 + 150ms).empty());
    QVERIFY(decoder.deadline() == t0 + 350ms);
    QVERIFY(decoder.expire(t0 + 300ms).empty());

    const std::vector<Event> events = decoder.expire(t0 + 350ms);
    QCOMPARE(render(events), (QStringList{u"control 04 (EOT)"_s, u"control 01 (SOH)"_s, u"text \"C\""_s}));
    QVERIFY(events.front().arrived == t0);
}

void tst_Monitor::garbageNeverDropped_data()
{
    QTest::addColumn<unsigned>("seed");
    QTest::newRow("seed 1") << 1u;
    QTest::newRow("seed 2") << 2u;
    QTest::newRow("seed 3") << 3u;
}

// Bytes heavy in EOT, SOH and ETB, in reads of any length with pauses of any
// length: every byte comes out once, in order, and each event is well formed.
void tst_Monitor::garbageNeverDropped()
{
    QFETCH(unsigned, seed);
    std::mt19937 random(seed);
    const std::uint8_t likely[] = {0x04, 0x01, 0x17, 'D', '2', '3', 'B', 'N', 0x1B, 0x0D, 0x84};

    QByteArray input;
    for (int i = 0; i < 4000; ++i) {
        const auto b = (random() % 2) ? likely[random() % std::size(likely)] : static_cast<std::uint8_t>(random());
        input.append(static_cast<char>(b));
    }

    monitor::StreamDecoder decoder;
    std::vector<Event> events;
    Clock::time_point now{};
    for (qsizetype at = 0; at < input.size();) {
        const qsizetype n = std::min<qsizetype>(1 + random() % 12, input.size() - at);
        append(events, decoder.feed(toBytes(input.sliced(at, n)), now));
        at += n;
        now += std::chrono::milliseconds(random() % 300);
        append(events, decoder.expire(now));
    }
    append(events, decoder.finish());

    QCOMPARE(concatenated(events), input);
    for (const Event &e : events) {
        QVERIFY(!e.bytes.empty());
        switch (e.kind) {
        case monitor::EventKind::Command:
        case monitor::EventKind::Frame:
            QVERIFY(e.bytes.size() >= 3 && e.bytes.size() <= 11);
            QCOMPARE(e.bytes[0], display::EOT);
            QCOMPARE(e.bytes[1], display::SOH);
            QCOMPARE(e.bytes.back(), display::ETB);
            break;
        case monitor::EventKind::Text:
            QVERIFY(std::all_of(e.bytes.begin(), e.bytes.end(), monitor::isPrintable));
            break;
        case monitor::EventKind::Control:
            QCOMPARE(e.bytes.size(), std::size_t(1));
            QVERIFY(!monitor::isPrintable(e.bytes[0]));
            break;
        }
    }
}

void tst_Monitor::jsonLine_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected"); // the fields that must be there, as JSON

    QTest::newRow("clear") << QByteArray::fromHex("040143315817")
                           << R"({"kind":"command","command":{"name":"clear"}})"_ba;
    QTest::newRow("show demo 3") << QByteArray::fromHex("040144323317")
                                 << R"({"kind":"command","command":{"name":"show demo","mode":3,"modeName":"blinking"}})"_ba;
    QTest::newRow("display baud rate 4800")
        << QByteArray::fromHex("040142324E17")
        << R"({"kind":"command","command":{"name":"display baud rate","rate":4800}})"_ba;
    QTest::newRow("unknown frame") << QByteArray::fromHex("04015A17") << R"({"kind":"frame"})"_ba;
    QTest::newRow("text with quote, backslash and Cyrillic")
        << QByteArray::fromHex("225C84AE") << R"({"kind":"text","text":"\"\\До"})"_ba;
    QTest::newRow("control") << QByteArray::fromHex("0D") << R"({"kind":"control"})"_ba;
}

void tst_Monitor::jsonLine()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    const std::vector<Event> events = decodeAll(input);
    QCOMPARE(events.size(), std::size_t(1));
    const std::string line = monitor::jsonLine(events.front(), "2025-03-04T13:05:10.123+01:00");
    QVERIFY(line.find('\n') == std::string::npos);

    QJsonParseError error{};
    const QJsonObject object = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
    QVERIFY2(error.error == QJsonParseError::NoError, line.c_str());
    QCOMPARE(object.value("time"_L1).toString(), u"2025-03-04T13:05:10.123+01:00"_s);
    QCOMPARE(QByteArray::fromHex(object.value("bytes"_L1).toString().toLatin1()), input);
    QCOMPARE(object.value("summary"_L1).toString(), QString::fromStdString(monitor::summary(events.front())));

    const QJsonObject fields = QJsonDocument::fromJson(expected).object();
    for (auto it = fields.begin(); it != fields.end(); ++it)
        QCOMPARE(object.value(it.key()), it.value());
    QCOMPARE(object.contains("command"_L1), fields.contains("command"_L1));
    QCOMPARE(object.contains("text"_L1), fields.contains("text"_L1));
}

void tst_Monitor::jsonStringEscapes_data()
{
    QTest::addColumn<QString>("text");
    QTest::newRow("plain") << u"COM1"_s;
    QTest::newRow("quote and backslash") << u"a\"b\\c"_s;
    QTest::newRow("control characters") << u"tab\there\nnew line \u0001\u001F end"_s;
    QTest::newRow("Cyrillic and signs") << u"Добро ░█ ¤"_s;
}

// Paths and texts of any kind come back unchanged from the log.
void tst_Monitor::jsonStringEscapes()
{
    QFETCH(QString, text);
    const std::string literal = monitor::jsonString(text.toStdString());
    QJsonParseError error{};
    const QJsonArray parsed = QJsonDocument::fromJson(QByteArray::fromStdString("[" + literal + "]"), &error).array();
    QVERIFY2(error.error == QJsonParseError::NoError, literal.c_str());
    QCOMPARE(parsed.at(0).toString(), text);
}

void tst_Monitor::jsonStringOfAnyBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("expected");

    const QString bad(QChar(0xFFFD));
    QTest::newRow("folder named in Latin-1") << "/home/ren\xE9/ports"_ba << u"/home/ren"_s + bad + u"/ports"_s;
    QTest::newRow("lone continuation byte") << "a\x80z"_ba << u"a"_s + bad + u"z"_s;
    QTest::newRow("sequence cut short by a plain byte") << "\xD0z"_ba << bad + u"z"_s;
    QTest::newRow("sequence cut short at the end") << "z\xE2\x82"_ba << u"z"_s + bad + bad;
    QTest::newRow("overlong slash") << "\xC0\xAF"_ba << bad + bad;
    QTest::newRow("overlong three bytes") << "\xE0\x80\xAF"_ba << bad + bad + bad;
    QTest::newRow("surrogate") << "\xED\xA0\x80"_ba << bad + bad + bad;
    QTest::newRow("above U+10FFFF") << "\xF4\x90\x80\x80"_ba << bad + bad + bad + bad;
    QTest::newRow("byte FF") << "\xFF\xFE"_ba << bad + bad;
    QTest::newRow("bad byte, then a quote") << "\xFF\""_ba << bad + u"\""_s;
    QTest::newRow("Cyrillic, two bytes") << "\xD0\x94\xD0\xBE"_ba << u"До"_s;
    QTest::newRow("euro sign, three bytes") << "\xE2\x82\xAC"_ba << u"€"_s;
    QTest::newRow("U+10FFFF, four bytes") << "\xF4\x8F\xBF\xBF"_ba << QString::fromUcs4(U"\U0010FFFF");
}

// Whatever the bytes (paths are bytes), the literal is valid JSON: well-formed
// UTF-8 comes back as it was, every other byte as U+FFFD.
void tst_Monitor::jsonStringOfAnyBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, expected);
    const std::string literal = monitor::jsonString(bytes.toStdString());
    QJsonParseError error{};
    const QJsonArray parsed = QJsonDocument::fromJson(QByteArray::fromStdString("[" + literal + "]"), &error).array();
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    QCOMPARE(parsed.at(0).toString(), expected);
}

void tst_Monitor::settingsSummary_data()
{
    QTest::addColumn<unsigned>("baud");
    QTest::addColumn<unsigned>("inputBaud");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<bool>("parityOdd");
    QTest::addColumn<bool>("markSpace");
    QTest::addColumn<QString>("expected");

    QTest::newRow("no flags") << 9600u << 9600u << 1 << false << false
                              << u"9600 baud, 1 stop bit, parity none or even"_s;
    QTest::newRow("odd") << 14400u << 14400u << 2 << true << false << u"14400 baud, 2 stop bits, parity odd"_s;
    QTest::newRow("mark") << 1200u << 1200u << 1 << true << true << u"1200 baud, 1 stop bit, parity mark"_s;
    QTest::newRow("space") << 300u << 300u << 1 << false << true << u"300 baud, 1 stop bit, parity space"_s;
    QTest::newRow("input rate of its own") << 9600u << 4800u << 1 << false << false
                                           << u"9600 baud (input 4800), 1 stop bit, parity none or even"_s;
}

void tst_Monitor::settingsSummary()
{
    QFETCH(unsigned, baud);
    QFETCH(unsigned, inputBaud);
    QFETCH(int, stopBits);
    QFETCH(bool, parityOdd);
    QFETCH(bool, markSpace);
    QFETCH(QString, expected);

    const monitor::ObservedLine line{baud, inputBaud, stopBits, parityOdd, markSpace};
    QCOMPARE(QString::fromStdString(monitor::summary(line)), expected);

    const QJsonObject json =
        QJsonDocument::fromJson(QByteArray::fromStdString(monitor::jsonLine(line, "t"))).object();
    QCOMPARE(json.value("kind"_L1).toString(), u"settings"_s);
    QCOMPARE(json.value("baud"_L1).toInteger(), qint64(baud));
    QCOMPARE(json.value("inputBaud"_L1).toInteger(), qint64(inputBaud));
    QCOMPARE(json.value("stopBits"_L1).toInt(), stopBits);
}

// The real program: it links its device, and what a sender writes there
// comes out in the log, byte for byte, even after the sender has closed
// the port and opened it again.
void tst_Monitor::showsWhatArrives()
{
    MonitorRun monitorRun;
    QVERIFY(monitorRun.start({u"--link"_s, u"COM3"_s, u"--log"_s, u"@/log.jsonl"_s}));
    const QString device = monitorRun.waitForDevice(u"COM3"_s);
    QVERIFY2(!device.isEmpty(), monitorRun.process().readAllStandardError().constData());

    // Nothing set on the device: newlines must still arrive as they were written.
    const QByteArray first = QByteArray::fromHex("040143315817" "84AEA1E0AE" "0A" "04015A17" "0D");
    // Text at the very end is shown once the line has been quiet a moment.
    const QByteArray second = QByteArray::fromHex("040144323717" "040142324E17" "4F4B");
    {
        Sender sender(device);
        QVERIFY(sender.isOpen());
        QVERIFY(sender.write(first));
    }
    {
        Sender sender(device);
        QVERIFY(sender.isOpen());
        QVERIFY(sender.write(second));
    }

    QList<QJsonObject> events;
    QVERIFY(waitFor([&] {
        events = ofKind(readJsonLines(monitorRun.logPath()), dataKinds);
        return events.size() >= 8;
    }));
    QCOMPARE(monitorRun.process().state(), QProcess::Running);

    QStringList seen;
    QByteArray bytes;
    static const QRegularExpression stamp(u"^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}[+-]\\d\\d:\\d\\d$"_s);
    for (const QJsonObject &e : events) {
        seen << e.value("kind"_L1).toString() + u' ' + e.value("summary"_L1).toString();
        bytes += QByteArray::fromHex(e.value("bytes"_L1).toString().toLatin1());
        QVERIFY2(stamp.match(e.value("time"_L1).toString()).hasMatch(), qPrintable(e.value("time"_L1).toString()));
    }
    QCOMPARE(seen, (QStringList{
                       u"command clear"_s,
                       u"text \"Добро\""_s,
                       u"control 0A (LF)"_s,
                       u"frame unknown frame"_s,
                       u"control 0D (CR)"_s,
                       u"command show demo, mode 7 (mode1+mode2+mode3)"_s,
                       u"command display baud rate 4800"_s,
                       u"text \"OK\""_s,
                   }));
    QCOMPARE(bytes, first + second);

    const QJsonObject start = readJsonLines(monitorRun.logPath()).value(0);
    QCOMPARE(start.value("kind"_L1).toString(), u"start"_s);
    QCOMPARE(start.value("device"_L1).toString(), device);
    QCOMPARE(start.value("link"_L1).toString(), monitorRun.link(u"COM3"_s));

    // The screen says the same.
    monitorRun.signal(SIGTERM);
    QVERIFY(monitorRun.process().waitForFinished(5000));
    const QString screen = QString::fromUtf8(monitorRun.process().readAllStandardOutput());
    QVERIFY2(screen.contains(device), qPrintable(screen));
    QVERIFY2(screen.contains(u"show demo, mode 7 (mode1+mode2+mode3)"_s), qPrintable(screen));
    QVERIFY2(screen.contains(u"\"Добро\""_s), qPrintable(screen));
}

void tst_Monitor::reportsLineSettings_data()
{
    QTest::addColumn<unsigned>("baud");
    QTest::addColumn<int>("stopBits");
    QTest::addColumn<bool>("parityOdd");
    QTest::addColumn<bool>("markSpace");
    QTest::addColumn<QString>("parity");

    QTest::newRow("14400, no parity flags") << 14400u << 1 << false << false << u"none or even"_s;
    QTest::newRow("1200, 2 stop bits, odd") << 1200u << 2 << true << false << u"odd"_s;
    QTest::newRow("9600, mark") << 9600u << 1 << true << true << u"mark"_s;
    QTest::newRow("4800, space") << 4800u << 1 << false << true << u"space"_s;
}

// What a sender sets on its port shows up, once, when it changes.
void tst_Monitor::reportsLineSettings()
{
    QFETCH(unsigned, baud);
    QFETCH(int, stopBits);
    QFETCH(bool, parityOdd);
    QFETCH(bool, markSpace);
    QFETCH(QString, parity);

    MonitorRun monitorRun;
    QVERIFY(monitorRun.start({u"--log"_s, u"@/log.jsonl"_s}));
    const QString device = monitorRun.waitForDevice();
    QVERIFY(!device.isEmpty());
    QVERIFY(waitFor([&] { return !ofKind(readJsonLines(monitorRun.logPath()), {u"settings"_s}).isEmpty(); }));

    Sender sender(device);
    QVERIFY(sender.isOpen());
    QVERIFY(setTerminalLine(sender.fd(), baud, stopBits, parityOdd, markSpace));
    const auto changed = [&] {
        const QList<QJsonObject> settings = ofKind(readJsonLines(monitorRun.logPath()), {u"settings"_s});
        return settings.size() >= 2 && settings.last().value("baud"_L1).toInteger() == qint64(baud);
    };
    QVERIFY(waitFor(changed));
    QVERIFY(sender.write(QByteArray::fromHex("0401503117")));
    QVERIFY(waitFor([&] { return !ofKind(readJsonLines(monitorRun.logPath()), {u"command"_s}).isEmpty(); }));

    const QList<QJsonObject> settings = ofKind(readJsonLines(monitorRun.logPath()), {u"settings"_s});
    QCOMPARE(settings.size(), 2);
    const QJsonObject last = settings.last();
    QCOMPARE(last.value("inputBaud"_L1).toInteger(), qint64(baud));
    QCOMPARE(last.value("stopBits"_L1).toInt(), stopBits);
    QCOMPARE(last.value("parity"_L1).toString(), parity);
}

void tst_Monitor::stopsOnSignal_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::addColumn<bool>("replacedMeanwhile");

    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGTERM, link replaced meanwhile") << int(SIGTERM) << true;
}

// Without --link the monitor stands in for COM1; a signal ends it, and it
// takes away its own link but not one that someone else has put there since.
void tst_Monitor::stopsOnSignal()
{
    QFETCH(int, signalNumber);
    QFETCH(bool, replacedMeanwhile);

    MonitorRun monitorRun;
    QVERIFY(monitorRun.start());
    QVERIFY(!monitorRun.waitForDevice().isEmpty());
    const QString link = monitorRun.link();
    if (replacedMeanwhile) {
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(u"/dev/null"_s, link));
    }

    QVERIFY(monitorRun.signal(signalNumber));
    QVERIFY(monitorRun.process().waitForFinished(5000));
    QCOMPARE(monitorRun.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(monitorRun.process().exitCode(), 0);
    if (replacedMeanwhile)
        QCOMPARE(QFileInfo(link).symLinkTarget(), u"/dev/null"_s);
    else
        QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
    QVERIFY(!QFileInfo::exists(monitorRun.ownerRecord()));
}

// A configuration folder whose name is not UTF-8 (made on a system in
// another encoding, say) still gives a log that every JSON reader reads.
void tst_Monitor::logValidInAFolderNotNamedInUtf8()
{
    QTemporaryDir base;
    QVERIFY(base.isValid());
    const QByteArray config = QFile::encodeName(base.path()) + "/r\xE9glages-\xFF";
    QVERIFY(::mkdir(config.constData(), 0700) == 0);
    // QTemporaryDir cannot name what is inside, so it goes first.
    const auto removeConfig = qScopeGuard([&config] {
        ::unlink((config + "/vkd417-demo/ports/COM1.monitor").constData());
        ::unlink((config + "/vkd417-demo/ports/COM1").constData());
        for (const char *folder : {"/vkd417-demo/ports", "/vkd417-demo", ""})
            ::rmdir((config + folder).constData());
    });
    const QString log = base.filePath(u"log.jsonl"_s);

    // The environment is set by the shell, which passes bytes as they are.
    QProcess process;
    process.setProgram(u"/bin/sh"_s);
    process.setArguments({u"-c"_s, u"XDG_CONFIG_HOME=\"$1/$(printf 'r\\351glages-\\377')\" exec \"$2\" --log \"$3\""_s,
                          u"sh"_s, base.path(), QStringLiteral(VKD_MONITOR_PROGRAM), log});
    process.start();
    QVERIFY(process.waitForStarted(5000));
    const QByteArray link = config + "/vkd417-demo/ports/COM1";
    QVERIFY(waitFor([&] {
        struct stat st{};
        return ::lstat(link.constData(), &st) == 0;
    }));
    QVERIFY(waitFor([&] { return !readJsonLines(log).isEmpty(); }));
    ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitCode(), 0);

    QFile file(log);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = file.readAll().split('\n');
    QVERIFY(!lines.isEmpty());
    for (const QByteArray &line : lines) {
        if (line.isEmpty())
            continue;
        QJsonParseError error{};
        QJsonDocument::fromJson(line, &error);
        QVERIFY2(error.error == QJsonParseError::NoError, line.constData());
    }
    const QJsonObject start = QJsonDocument::fromJson(lines.first()).object();
    QCOMPARE(start.value("kind"_L1).toString(), u"start"_s);
    QCOMPARE(start.value("link"_L1).toString(),
             base.path() + u"/r\uFFFDglages-\uFFFD/vkd417-demo/ports/COM1"_s);
}

void tst_Monitor::takenName_data()
{
    QTest::addColumn<QString>("occupant");
    QTest::addColumn<bool>("force");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("link elsewhere") << u"link"_s << false << false;
    QTest::newRow("link elsewhere, --force") << u"link"_s << true << true;
    QTest::newRow("link to nothing") << u"dangling"_s << false << false;
    QTest::newRow("link to nothing, --force") << u"dangling"_s << true << true;
    QTest::newRow("plain file") << u"file"_s << false << false;
    QTest::newRow("plain file, --force") << u"file"_s << true << true;
    QTest::newRow("folder, even with --force") << u"folder"_s << true << false;
}

// A name that something else holds is left alone unless --force says so.
void tst_Monitor::takenName()
{
    QFETCH(QString, occupant);
    QFETCH(bool, force);
    QFETCH(bool, replaced);

    QStringList arguments{u"--link"_s, u"COM2"_s};
    if (force)
        arguments << u"--force"_s;
    MonitorRun monitorRun;
    const QString link = monitorRun.link(u"COM2"_s);
    QVERIFY(QDir(monitorRun.configPath()).mkpath(u"vkd417-demo/ports"_s));

    if (occupant == "link"_L1) {
        QVERIFY(QFile::link(u"/dev/null"_s, link));
    } else if (occupant == "dangling"_L1) {
        QVERIFY(QFile::link(u"/nonexistent/port"_s, link));
    } else if (occupant == "file"_L1) {
        QFile file(link);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("keep");
    } else {
        QVERIFY(QDir().mkpath(link));
    }
    const QString before = QFileInfo(link).symLinkTarget();

    QVERIFY(monitorRun.start(arguments));
    if (replaced) {
        QVERIFY(!monitorRun.waitForDevice(u"COM2"_s).isEmpty());
        QVERIFY(monitorRun.signal(SIGTERM));
        QVERIFY(monitorRun.process().waitForFinished(5000));
        QCOMPARE(monitorRun.process().exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
        return;
    }

    QVERIFY(monitorRun.process().waitForFinished(5000));
    QVERIFY(monitorRun.process().exitCode() != 0);
    const QString error = QString::fromLocal8Bit(monitorRun.process().readAllStandardError());
    QVERIFY2(error.contains(link), qPrintable(error));
    QCOMPARE(QFileInfo(link).symLinkTarget(), before);
    if (occupant == "file"_L1) {
        QFile file(link);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), "keep"_ba);
    }
    if (occupant == "folder"_L1)
        QVERIFY(QFileInfo(link).isDir());
}

void tst_Monitor::linkOfAnEarlierMonitor_data()
{
    QTest::addColumn<QString>("earlier");
    QTest::addColumn<QString>("since");
    QTest::addColumn<bool>("replaced");

    QTest::newRow("killed") << u"killed"_s << u""_s << true;
    QTest::newRow("killed, its number since given to another process") << u"killed"_s << u"pid reused"_s << true;
    QTest::newRow("killed, the link since pointed elsewhere") << u"killed"_s << u"repointed"_s << false;
    QTest::newRow("killed, its record since removed") << u"killed"_s << u"record removed"_s << false;
    QTest::newRow("still running") << u"running"_s << u""_s << false;
}

// A monitor ended by SIGKILL (a crash, a power cut) leaves its link to a
// pseudo-terminal whose number the system gives to the next comer. The next
// monitor replaces such a link of its own kind, and only that: a link that
// someone else has made or changed, or that a running monitor holds, stays.
void tst_Monitor::linkOfAnEarlierMonitor()
{
    QFETCH(QString, earlier);
    QFETCH(QString, since);
    QFETCH(bool, replaced);

    MonitorRun first;
    QVERIFY(first.start({u"--link"_s, u"COM2"_s}));
    const QString staleDevice = first.waitForDevice(u"COM2"_s);
    QVERIFY(!staleDevice.isEmpty());
    const QString link = first.link(u"COM2"_s);
    const QString record = first.ownerRecord(u"COM2"_s);
    QVERIFY(QFileInfo::exists(record));
    // Held open, the terminal's number stays taken, as when it has become
    // someone else's: the next monitor cannot get the same one.
    Sender stranger(staleDevice);
    QVERIFY(stranger.isOpen());

    if (earlier == "killed"_L1) {
        QVERIFY(first.signal(SIGKILL));
        QVERIFY(first.process().waitForFinished(5000));
        QCOMPARE(QFileInfo(link).symLinkTarget(), staleDevice);
    }
    if (since == "pid reused"_L1) {
        QFile file(record);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QByteArray content = file.readAll();
        file.close();
        static const QRegularExpression pidLine(u"(?m)^pid \\d+$"_s);
        QString text = QString::fromUtf8(content);
        QVERIFY(text.contains(pidLine));
        // This test is running, and is no monitor.
        text.replace(pidLine, u"pid %1"_s.arg(::getpid()));
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(text.toUtf8());
        file.close();
    } else if (since == "repointed"_L1) {
        QVERIFY(QFile::remove(link));
        QVERIFY(QFile::link(u"/dev/null"_s, link));
    } else if (since == "record removed"_L1) {
        QVERIFY(QFile::remove(record));
    }
    const QString before = QFileInfo(link).symLinkTarget();

    MonitorRun next(first.configPath());
    QVERIFY(next.start({u"--link"_s, u"COM2"_s}));
    if (!replaced) {
        QVERIFY(next.process().waitForFinished(5000));
        QVERIFY(next.process().exitCode() != 0);
        const QString error = QString::fromLocal8Bit(next.process().readAllStandardError());
        QVERIFY2(error.contains(link), qPrintable(error));
        if (earlier == "running"_L1)
            QVERIFY2(error.contains(u"process %1"_s.arg(first.process().processId())), qPrintable(error));
        QCOMPARE(QFileInfo(link).symLinkTarget(), before);
        return;
    }

    QString device;
    QVERIFY(waitFor([&] {
        device = QFileInfo(link).symLinkTarget();
        return device.startsWith("/dev/pts/"_L1) && device != staleDevice;
    }));
    // Bytes sent to COM2 now reach the new monitor, not the stranger.
    {
        Sender sender(device);
        QVERIFY(sender.isOpen());
        QVERIFY(sender.write(QByteArray::fromHex("040143315817")));
    }
    QVERIFY(next.signal(SIGTERM));
    QVERIFY(next.process().waitForFinished(5000));
    QCOMPARE(next.process().exitCode(), 0);
    const QString screen = QString::fromUtf8(next.process().readAllStandardOutput());
    QVERIFY2(screen.contains(u"replaced the stale link to %1"_s.arg(staleDevice)), qPrintable(screen));
    QVERIFY2(screen.contains(u"command   clear"_s), qPrintable(screen));
    QVERIFY(!QFileInfo(link).isSymLink() && !QFileInfo::exists(link));
    QVERIFY(!QFileInfo::exists(record));
}

// A killed monitor's link under another name goes too, at the next start of
// any monitor: left there, it would lead the demo into whatever terminal gets
// that number next. Links of running monitors and anyone else's stay.
void tst_Monitor::staleLinksUnderOtherNames()
{
    MonitorRun running;
    QVERIFY(running.start({u"--link"_s, u"COM4"_s}));
    const QString runningDevice = running.waitForDevice(u"COM4"_s);
    QVERIFY(!runningDevice.isEmpty());

    MonitorRun killed(running.configPath());
    QVERIFY(killed.start({u"--link"_s, u"COM3"_s}));
    const QString staleDevice = killed.waitForDevice(u"COM3"_s);
    QVERIFY(!staleDevice.isEmpty());
    Sender stranger(staleDevice);
    QVERIFY(stranger.isOpen());
    QVERIFY(killed.signal(SIGKILL));
    QVERIFY(killed.process().waitForFinished(5000));
    QVERIFY(QFile::link(u"/dev/null"_s, killed.link(u"COM5"_s)));

    MonitorRun next(killed.configPath());
    QVERIFY(next.start({u"--link"_s, u"COM2"_s}));
    QVERIFY(!next.waitForDevice(u"COM2"_s).isEmpty());
    QVERIFY(!QFileInfo(killed.link(u"COM3"_s)).isSymLink());
    QVERIFY(!QFileInfo::exists(killed.ownerRecord(u"COM3"_s)));
    QCOMPARE(QFileInfo(killed.link(u"COM4"_s)).symLinkTarget(), runningDevice);
    QVERIFY(QFileInfo::exists(killed.ownerRecord(u"COM4"_s)));
    QCOMPARE(QFileInfo(killed.link(u"COM5"_s)).symLinkTarget(), u"/dev/null"_s);

    QVERIFY(next.signal(SIGTERM));
    QVERIFY(next.process().waitForFinished(5000));
    const QString screen = QString::fromUtf8(next.process().readAllStandardOutput());
    QVERIFY2(screen.contains(u"removed the stale link %1 to %2"_s.arg(killed.link(u"COM3"_s), staleDevice)),
             qPrintable(screen));
}

void tst_Monitor::refusesToStart_data()
{
    QTest::addColumn<QStringList>("arguments"); // "@" stands for the configuration folder

    QTest::newRow("log in a folder that is a file") << QStringList{u"--log"_s, u"@/blocker/log.jsonl"_s};
    QTest::newRow("log that is a folder") << QStringList{u"--log"_s, u"@"_s};
    QTest::newRow("log without a name") << QStringList{u"--log"_s};
    QTest::newRow("COM0") << QStringList{u"--link"_s, u"COM0"_s};
    QTest::newRow("LPT1") << QStringList{u"--link"_s, u"LPT1"_s};
    QTest::newRow("lower-case com1") << QStringList{u"--link"_s, u"com1"_s};
    QTest::newRow("link without a name") << QStringList{u"--link"_s};
    QTest::newRow("unknown option") << QStringList{u"--baud"_s, u"9600"_s};
    QTest::newRow("value for --force") << QStringList{u"--force=yes"_s};
}

// Anything it cannot do ends it at once with a message, and leaves no link.
void tst_Monitor::refusesToStart()
{
    QFETCH(QStringList, arguments);

    MonitorRun monitorRun;
    QFile blocker(monitorRun.configPath() + u"/blocker"_s);
    QVERIFY(blocker.open(QIODevice::WriteOnly));
    blocker.close();

    QVERIFY(monitorRun.start(arguments));
    QVERIFY(monitorRun.process().waitForFinished(5000));
    QCOMPARE(monitorRun.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(monitorRun.process().exitCode() != 0);
    const QByteArray error = monitorRun.process().readAllStandardError();
    QVERIFY2(error.startsWith("vkd417-monitor: "), error.constData());
    QVERIFY(!QFileInfo(monitorRun.link()).isSymLink());
}

void tst_Monitor::help()
{
    MonitorRun monitorRun;
    QVERIFY(monitorRun.start({u"--help"_s}));
    QVERIFY(monitorRun.process().waitForFinished(5000));
    QCOMPARE(monitorRun.process().exitCode(), 0);
    const QByteArray usage = monitorRun.process().readAllStandardOutput();
    for (const char *option : {"--link COMn", "--force", "--log FILE"})
        QVERIFY2(usage.contains(option), usage.constData());
    QVERIFY(!QFileInfo(monitorRun.link()).isSymLink());
}

QTEST_GUILESS_MAIN(tst_Monitor)
#include "tst_monitor.moc"
