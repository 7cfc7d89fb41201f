#include "charcode.h"
#include "codepage.h"
#include "commands.h"

#include <QFile>
#include <QTest>

#include <array>
#include <climits>
#include <string>
#include <vector>

using display::Bytes;
using display::Command;

namespace {

QByteArray toByteArray(const Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()),
                      static_cast<qsizetype>(bytes.size()));
}

std::u16string_view utf16(const QString &text)
{
    return {reinterpret_cast<const char16_t *>(text.utf16()),
            static_cast<std::size_t>(text.size())};
}

// The character each byte stands for; -1 where the code page has none.
using CodePage = std::array<int, 256>;

// Reads a reference table of lines "XX UUUU" (byte, character, both hex);
// lines starting with '#' are comments.
bool readCodePage(const char *path, CodePage &table, QString &error)
{
    table.fill(-1);
    QFile file(QString::fromUtf8(path));
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        error = QStringLiteral("cannot open %1").arg(file.fileName());
        return false;
    }
    int lineNumber = 0;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        ++lineNumber;
        if (line.isEmpty() || line.startsWith('#'))
            continue;
        const QList<QByteArray> fields = line.split(' ');
        bool byteOk = false;
        bool charOk = false;
        const int byte = fields.value(0).toInt(&byteOk, 16);
        const int character = fields.value(1).toInt(&charOk, 16);
        if (fields.size() != 2 || !byteOk || !charOk || byte < 0 || byte > 0xFF
            || table[static_cast<std::size_t>(byte)] != -1) {
            error = QStringLiteral("%1:%2: bad line").arg(file.fileName()).arg(lineNumber);
            return false;
        }
        table[static_cast<std::size_t>(byte)] = character;
    }
    return true;
}

bool isCyrillicLetter(int character)
{
    return character >= 0x0410 && character <= 0x044F; // "А" to "я"
}

} // namespace

class TestDisplay : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();

    void frames_data();
    void frames();
    void rateForCode_data();
    void rateForCode();

    void charCode_data();
    void charCode();

    void text_data();
    void text();
    void windows1251Repertoire_data();
    void windows1251Repertoire();
    void surrogateAtEndOfView();
    void codePage866Conversion();
    void codePage866Characters();
    void everyScalarValue();

    void alphabetRun();

private:
    CodePage m_windows1251{};
    CodePage m_codePage866{};
    // Windows-1251 byte of each BMP character, -1 where it has none.
    std::array<int, 0x10000> m_windows1251Byte{};
    // Code page 866 byte of each Cyrillic letter "А" to "я", indexed from "А".
    std::array<int, 64> m_codePage866Letter{};
};

void TestDisplay::initTestCase()
{
    QString error;
    QVERIFY2(readCodePage(VKD_WINDOWS1251_TABLE, m_windows1251, error), qPrintable(error));
    QVERIFY2(readCodePage(VKD_CODEPAGE866_TABLE, m_codePage866, error), qPrintable(error));

    // A truncated reference would silently test less.
    for (int b = 0; b < 256; ++b) {
        if (b != 0x98 && m_windows1251[static_cast<std::size_t>(b)] < 0)
            QFAIL(qPrintable(QStringLiteral("Windows-1251 table lacks byte %1").arg(b, 2, 16)));
        if (m_codePage866[static_cast<std::size_t>(b)] < 0)
            QFAIL(qPrintable(QStringLiteral("code page 866 table lacks byte %1").arg(b, 2, 16)));
    }

    m_windows1251Byte.fill(-1);
    for (int b = 0; b < 256; ++b) {
        const int c = m_windows1251[static_cast<std::size_t>(b)];
        if (c >= 0)
            m_windows1251Byte[static_cast<std::size_t>(c)] = b;
    }
    m_codePage866Letter.fill(-1);
    for (int b = 0; b < 256; ++b) {
        const int c = m_codePage866[static_cast<std::size_t>(b)];
        if (isCyrillicLetter(c))
            m_codePage866Letter[static_cast<std::size_t>(c - 0x0410)] = b;
    }
    for (const int b : m_codePage866Letter)
        QVERIFY2(b >= 0, "code page 866 table lacks a letter from А to я");
}

void TestDisplay::frames_data()
{
    QTest::addColumn<QByteArray>("frame");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("btClear: C1X") << toByteArray(display::frameFor(Command::Clear))
                                  << QByteArray::fromHex("040143315817");
    QTest::newRow("btCursor: P1") << toByteArray(display::frameFor(Command::Cursor))
                                  << QByteArray::fromHex("0401503117");
    QTest::newRow("btRusSet: I:") << toByteArray(display::frameFor(Command::RussianSet))
                                  << QByteArray::fromHex("0401493a17");
    QTest::newRow("btUSset: I0") << toByteArray(display::frameFor(Command::EnglishSet))
                                 << QByteArray::fromHex("0401493017");
    QTest::newRow("btGermany: I2") << toByteArray(display::frameFor(Command::GermanSet))
                                   << QByteArray::fromHex("0401493217");
    QTest::newRow("btSaveDemo: S2") << toByteArray(display::frameFor(Command::SaveDemo))
                                    << QByteArray::fromHex("0401533217");
    QTest::newRow("btPrinterON: ESC G") << toByteArray(display::frameFor(Command::PrinterOn))
                                        << QByteArray::fromHex("04011b4717");
    QTest::newRow("btPrinterOFF: ESC S") << toByteArray(display::frameFor(Command::PrinterOff))
                                         << QByteArray::fromHex("04011b5317");

    QTest::newRow("btViewDemo: mode 1") << toByteArray(display::viewDemoFrame(1))
                                        << QByteArray::fromHex("040144323117");
    QTest::newRow("btViewDemo: mode 2") << toByteArray(display::viewDemoFrame(2))
                                        << QByteArray::fromHex("040144323217");
    QTest::newRow("btViewDemo: mode 3") << toByteArray(display::viewDemoFrame(3))
                                        << QByteArray::fromHex("040144323317");
    QTest::newRow("btViewDemo: mode 4") << toByteArray(display::viewDemoFrame(4))
                                        << QByteArray::fromHex("040144323417");
    QTest::newRow("btViewDemo: mode 5") << toByteArray(display::viewDemoFrame(5))
                                        << QByteArray::fromHex("040144323517");
    QTest::newRow("btViewDemo: mode 6") << toByteArray(display::viewDemoFrame(6))
                                        << QByteArray::fromHex("040144323617");
    QTest::newRow("btViewDemo: mode 7") << toByteArray(display::viewDemoFrame(7))
                                        << QByteArray::fromHex("040144323717");

    // By position in cbBaud.
    QTest::newRow("btSetup: 300") << toByteArray(display::setupFrame(0))
                                  << QByteArray::fromHex("040142364e17");
    QTest::newRow("btSetup: 600") << toByteArray(display::setupFrame(1))
                                  << QByteArray::fromHex("040142354e17");
    QTest::newRow("btSetup: 1200") << toByteArray(display::setupFrame(2))
                                   << QByteArray::fromHex("040142344e17");
    QTest::newRow("btSetup: 2400") << toByteArray(display::setupFrame(3))
                                   << QByteArray::fromHex("040142334e17");
    QTest::newRow("btSetup: 4800") << toByteArray(display::setupFrame(4))
                                   << QByteArray::fromHex("040142324e17");
    QTest::newRow("btSetup: 9600") << toByteArray(display::setupFrame(5))
                                   << QByteArray::fromHex("040142314e17");
    QTest::newRow("btSetup: 14400 falls back to 9600") << toByteArray(display::setupFrame(6))
                                                       << QByteArray::fromHex("040142314e17");
    QTest::newRow("btSetup: 19200 falls back to 9600") << toByteArray(display::setupFrame(7))
                                                       << QByteArray::fromHex("040142314e17");
    QTest::newRow("btSetup: no selection") << toByteArray(display::setupFrame(-1))
                                           << QByteArray::fromHex("040142314e17");
}

void TestDisplay::frames()
{
    QFETCH(QByteArray, frame);
    QFETCH(QByteArray, expected);
    QCOMPARE(frame.toHex(' '), expected.toHex(' '));
}

void TestDisplay::rateForCode_data()
{
    QTest::addColumn<char>("code");
    QTest::addColumn<int>("rate"); // 0: not a rate code

    QTest::newRow("code 1: 9600") << '1' << 9600;
    QTest::newRow("code 2: 4800") << '2' << 4800;
    QTest::newRow("code 3: 2400") << '3' << 2400;
    QTest::newRow("code 4: 1200") << '4' << 1200;
    QTest::newRow("code 5: 600") << '5' << 600;
    QTest::newRow("code 6: 300") << '6' << 300;
    QTest::newRow("code 0: none") << '0' << 0;
    QTest::newRow("code 7: none") << '7' << 0;
    QTest::newRow("code N: none") << 'N' << 0;
    QTest::newRow("code NUL: none") << '\0' << 0;
}

void TestDisplay::rateForCode()
{
    QFETCH(char, code);
    QFETCH(int, rate);
    QCOMPARE(display::rateForCode(code).value_or(0), rate);
}

void TestDisplay::charCode_data()
{
    QTest::addColumn<QByteArray>("text"); // UTF-8, as the field gives it
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<int>("value");

    const auto accept = [](const char *name, const QByteArray &text, int value) {
        QTest::newRow(name) << text << true << value;
    };
    const auto refuse = [](const char *name, const QByteArray &text) {
        QTest::newRow(name) << text << false << 0;
    };

    accept("decimal: 65", "65", 65);
    accept("decimal: 321", "321", 321);
    accept("decimal: 256", "256", 256);
    accept("decimal: 0", "0", 0);
    accept("decimal: -1", "-1", -1);
    accept("decimal: +65", "+65", 65);
    accept("decimal: -0", "-0", 0);
    accept("decimal: 2147483647", "2147483647", INT_MAX);
    accept("decimal: -2147483648", "-2147483648", INT_MIN);
    refuse("decimal: 2147483648", "2147483648");
    refuse("decimal: -2147483649", "-2147483649");
    refuse("decimal: 4294967361 (2^32 + 65)", "4294967361");
    refuse("decimal: 18446744073709551681 (2^64 + 65)", "18446744073709551681");
    accept("decimal: leading zeros", "0000000000065", 65);
    accept("decimal: leading zeros at the negative limit", "-000000000002147483648", INT_MIN);
    accept("decimal: a hundred leading zeros", QByteArray(100, '0') + "65", 65);

    accept("hex: $7F", "$7F", 0x7F);
    accept("hex: 0x7f", "0x7f", 0x7F);
    accept("hex: 0X7F", "0X7F", 0x7F);
    accept("hex: x41", "x41", 0x41);
    accept("hex: X41", "X41", 0x41);
    accept("hex: $aBcD mixed case", "$aBcD", 0xABCD);
    accept("hex: 0x0", "0x0", 0);
    accept("hex: $7FFFFFFF", "$7FFFFFFF", INT_MAX);
    accept("hex: $80000000", "$80000000", INT_MIN);
    accept("hex: $FFFFFFFF", "$FFFFFFFF", -1);
    refuse("hex: $100000000", "$100000000");
    refuse("hex: $10000000000000041 (2^64 + 0x41)", "$10000000000000041");
    accept("hex: $ leading zeros", "$00000000041", 0x41);
    accept("hex: 0x leading zeros", "0x0000000000041", 0x41);
    refuse("hex: $7G", "$7G");
    refuse("hex: without prefix", "7A");
    refuse("hex: FFFFFFFF without prefix", "FFFFFFFF");
    refuse("hex: $0x41, two prefixes", "$0x41");
    refuse("hex: 0x0x41, prefix twice", "0x0x41");
    refuse("hex: $-1, sign after prefix", "$-1");

    refuse("prefix alone: $", "$");
    refuse("prefix alone: x", "x");
    refuse("prefix alone: X", "X");
    refuse("prefix alone: 0x", "0x");
    refuse("prefix alone: 0X", "0X");

    refuse("sign before hex: -$10", "-$10");
    refuse("sign before hex: +$10", "+$10");
    refuse("sign before hex: +0x10", "+0x10");
    refuse("sign before hex: -0x10", "-0x10");
    refuse("sign alone: -", "-");
    refuse("sign alone: +", "+");
    refuse("sign twice: --1", "--1");
    refuse("sign twice: +-1", "+-1");
    refuse("space after sign: - 1", "- 1");

    accept("space: one leading", " 66", 66);
    accept("space: several leading", "    66", 66);
    accept("space: leading before hex", "  $42", 0x42);
    refuse("space: trailing", "65 ");
    refuse("space: inside the digits", "6 5");
    refuse("space: after prefix", "$ 41");
    refuse("space: only one", " ");
    refuse("space: only several", "    ");
    refuse("empty", "");

    refuse("white space: leading tab", "\t66");
    refuse("white space: leading line feed", "\n66");
    refuse("white space: trailing line feed", "65\n");
    refuse("white space: leading no-break space", QStringLiteral("\u00A066").toUtf8());
    refuse("trailing NUL", QByteArray("65\0", 3));

    refuse("other digits: Arabic-Indic 65", QStringLiteral("\u0666\u0665").toUtf8());
    refuse("other digits: fullwidth 65", QStringLiteral("\uFF16\uFF15").toUtf8());
    refuse("other digits: fullwidth hex after $", QStringLiteral("$\uFF14\uFF11").toUtf8());

    refuse("not an integer: 6.5", "6.5");
    refuse("not an integer: 1e3", "1e3");
    refuse("not an integer: 1,000", "1,000");
    refuse("not an integer: letter A", "A");
}

void TestDisplay::charCode()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, accepted);
    QFETCH(int, value);

    const auto parsed = display::parseCharCode(std::string_view(text.constData(),
                                                                static_cast<std::size_t>(text.size())));
    QCOMPARE(parsed.has_value(), accepted);
    if (accepted)
        QCOMPARE(*parsed, value);
}

void TestDisplay::text_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("windows1251");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("greeting") << QStringLiteral("Добро пожаловать!")
                              << QByteArray::fromHex("c4eee1f0ee20efeee6e0ebeee2e0f2fc21")
                              << QByteArray::fromHex("84aea1e0ae20afaea6a0abaea2a0e2ec21");
    QTest::newRow("Ё л к а: Ё stays") << QStringLiteral("Ёлка") << QByteArray::fromHex("a8ebeae0")
                                      << QByteArray::fromHex("a8abaaa0");
    QTest::newRow("ё stays") << QStringLiteral("ёж") << QByteArray::fromHex("b8e6")
                             << QByteArray::fromHex("b8a6");
    QTest::newRow("А and я, the ends of the letters") << QStringLiteral("Ая")
                                                     << QByteArray::fromHex("c0ff")
                                                     << QByteArray::fromHex("80ef");
    QTest::newRow("п and р, either side of the gap") << QStringLiteral("пр")
                                                    << QByteArray::fromHex("eff0")
                                                    << QByteArray::fromHex("afe0");
    QTest::newRow("Ukrainian і ї ґ stay") << QStringLiteral("іїґІЇҐ")
                                          << QByteArray::fromHex("b3bfb4b2afa5")
                                          << QByteArray::fromHex("b3bfb4b2afa5");
    QTest::newRow("pure ASCII") << QStringLiteral("Zelvar VKD-417 ~{}[]|\\@")
                                << QByteArray("Zelvar VKD-417 ~{}[]|\\@")
                                << QByteArray("Zelvar VKD-417 ~{}[]|\\@");
    QTest::newRow("control characters pass") << QString::fromLatin1("\x01\x1a\x7f", 3)
                                             << QByteArray("\x01\x1a\x7f")
                                             << QByteArray("\x01\x1a\x7f");
    QTest::newRow("NUL passes") << QString(QChar(0)) << QByteArray(1, '\0') << QByteArray(1, '\0');
    QTest::newRow("empty") << QString() << QByteArray() << QByteArray();

    QTest::newRow("€ is in Windows-1251") << QStringLiteral("€5") << QByteArray::fromHex("8835")
                                          << QByteArray::fromHex("8835");
    QTest::newRow("№ is in Windows-1251") << QStringLiteral("№1") << QByteArray::fromHex("b931")
                                          << QByteArray::fromHex("b931");
    QTest::newRow("ł is not") << QStringLiteral("łA") << QByteArray("?A") << QByteArray("?A");
    QTest::newRow("中 is not") << QStringLiteral("中A") << QByteArray("?A") << QByteArray("?A");
    QTest::newRow("U+0098 is not: byte 0x98 has no character") << QString(QChar(0x98))
                                                               << QByteArray("?") << QByteArray("?");
    QTest::newRow("U+1F600 as a surrogate pair: one ?") << QStringLiteral("A\U0001F600B")
                                                        << QByteArray("A?B") << QByteArray("A?B");
    QTest::newRow("two pairs in a row") << QStringLiteral("\U0001F600\U0001F601")
                                        << QByteArray("??") << QByteArray("??");
    QTest::newRow("lone high surrogate") << (QChar(0xD83D) + QStringLiteral("A"))
                                         << QByteArray("?A") << QByteArray("?A");
    QTest::newRow("lone low surrogate") << (QChar(0xDE00) + QStringLiteral("A"))
                                        << QByteArray("?A") << QByteArray("?A");
    QTest::newRow("high surrogate at the end") << (QStringLiteral("A") + QChar(0xD83D))
                                               << QByteArray("A?") << QByteArray("A?");
    QTest::newRow("low before high: two characters")
        << (QString(QChar(0xDE00)) + QChar(0xD83D)) << QByteArray("??") << QByteArray("??");
    QTest::newRow("lone high before a pair")
        << (QString(QChar(0xD83D)) + QChar(0xD83D) + QChar(0xDE00)) << QByteArray("??")
        << QByteArray("??");
    QTest::newRow("mixed") << QStringLiteral("Демо ł €")
                           << QByteArray::fromHex("c4e5ecee203f2088")
                           << QByteArray::fromHex("84a5acae203f2088");
}

void TestDisplay::text()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, windows1251);
    QFETCH(QByteArray, sent);

    const Bytes encoded = display::toWindows1251(utf16(text));
    QCOMPARE(toByteArray(encoded).toHex(' '), windows1251.toHex(' '));
    QCOMPARE(toByteArray(display::toCodePage866(encoded)).toHex(' '), sent.toHex(' '));
}

void TestDisplay::windows1251Repertoire_data()
{
    QTest::addColumn<int>("character");
    QTest::addColumn<int>("byte");

    for (int b = 0; b < 256; ++b) {
        const int c = m_windows1251[static_cast<std::size_t>(b)];
        if (c >= 0)
            QTest::addRow("0x%02X U+%04X", b, c) << c << b;
    }
}

void TestDisplay::windows1251Repertoire()
{
    QFETCH(int, character);
    QFETCH(int, byte);

    const char16_t c = static_cast<char16_t>(character);
    QCOMPARE(toByteArray(display::toWindows1251(std::u16string_view(&c, 1))).toHex(),
             QByteArray(1, static_cast<char>(byte)).toHex());
}

void TestDisplay::surrogateAtEndOfView()
{
    // The text ends with a high surrogate, and so does its allocation: a look
    // past the end for a partner shows under the address sanitizer.
    const std::vector<char16_t> text = {u'A', 0xD83D};
    const Bytes encoded = display::toWindows1251(std::u16string_view(text.data(), text.size()));
    QCOMPARE(toByteArray(encoded), QByteArray("A?"));
}

void TestDisplay::codePage866Conversion()
{
    // Every byte at once, so that a byte converted twice shows.
    Bytes all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<std::uint8_t>(b));

    const Bytes converted = display::toCodePage866(all);
    QCOMPARE(converted.size(), all.size());
    for (int b = 0; b < 256; ++b) {
        const int c = m_windows1251[static_cast<std::size_t>(b)];
        const int expected = isCyrillicLetter(c)
                                 ? m_codePage866Letter[static_cast<std::size_t>(c - 0x0410)]
                                 : b;
        const int got = converted[static_cast<std::size_t>(b)];
        if (got != expected)
            QFAIL(qPrintable(QStringLiteral("byte 0x%1 became 0x%2, expected 0x%3")
                                 .arg(b, 2, 16, QChar('0'))
                                 .arg(got, 2, 16, QChar('0'))
                                 .arg(expected, 2, 16, QChar('0'))));
    }
}

void TestDisplay::codePage866Characters()
{
    for (int b = 0; b < 256; ++b) {
        const int got = static_cast<int>(display::fromCodePage866(static_cast<std::uint8_t>(b)));
        const int expected = m_codePage866[static_cast<std::size_t>(b)];
        if (got != expected)
            QFAIL(qPrintable(QStringLiteral("byte 0x%1 gave U+%2, expected U+%3")
                                 .arg(b, 2, 16, QChar('0'))
                                 .arg(got, 4, 16, QChar('0'))
                                 .arg(expected, 4, 16, QChar('0'))));
    }
}

void TestDisplay::everyScalarValue()
{
    // Every Unicode scalar value once, in order, as one UTF-16 text.
    std::u16string all;
    all.reserve(0x110000 * 2);
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        if (cp < 0x10000) {
            all.push_back(static_cast<char16_t>(cp));
        } else {
            all.push_back(static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10)));
            all.push_back(static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF)));
        }
    }

    const Bytes encoded = display::toWindows1251(all);
    const Bytes sent = display::toCodePage866(encoded);
    QCOMPARE(encoded.size(), std::size_t(0x110000 - 0x800));
    QCOMPARE(sent.size(), encoded.size());

    std::size_t i = 0;
    for (char32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF)
            continue;
        const int reference = cp < 0x10000 ? m_windows1251Byte[cp] : -1;
        const int expected = reference >= 0 ? reference : '?';
        const int got = encoded[i];
        if (got == 0x1A && cp != 0x1A)
            QFAIL(qPrintable(QStringLiteral("U+%1 became SUB (0x1A)").arg(uint(cp), 4, 16, QChar('0'))));
        if (got != expected)
            QFAIL(qPrintable(QStringLiteral("U+%1 became 0x%2, expected 0x%3")
                                 .arg(uint(cp), 4, 16, QChar('0'))
                                 .arg(got, 2, 16, QChar('0'))
                                 .arg(expected, 2, 16, QChar('0'))));

        const int expectedSent = isCyrillicLetter(static_cast<int>(cp))
                                     ? m_codePage866Letter[cp - 0x0410]
                                     : expected;
        if (sent[i] != expectedSent)
            QFAIL(qPrintable(QStringLiteral("U+%1 went out as 0x%2, expected 0x%3")
                                 .arg(uint(cp), 4, 16, QChar('0'))
                                 .arg(int(sent[i]), 2, 16, QChar('0'))
                                 .arg(expectedSent, 2, 16, QChar('0'))));
        ++i;
    }
}

void TestDisplay::alphabetRun()
{
    const Bytes run = display::alphabetRun();
    QCOMPARE(toByteArray(run).toHex(' '),
             QByteArray::fromHex("808182838485868788898a8b8c8d8e8f"
                                 "909192939495969798999a9b9c9d9e9f"
                                 "a0a1a2a3a4a5a6a7")
                 .toHex(' '));

    QString letters;
    for (const std::uint8_t b : run)
        letters += QChar(static_cast<char16_t>(display::fromCodePage866(b)));
    QCOMPARE(letters, QStringLiteral("АБВГДЕЖЗИЙКЛМНОПРСТУФХЦЧШЩЪЫЬЭЮЯабвгдежз"));
}

QTEST_APPLESS_MAIN(TestDisplay)

#include "tst_display.moc"
