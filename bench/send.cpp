// Send overhead on a pseudo-terminal: for each of the window's sends, the
// time from the call of TForm1's handler to the last byte read at the far
// end of the line, against a plain C baseline (baseline.c) that makes the
// same writes with write() and tcdrain(), and the same discard with
// tcflush(), on the same pseudo-terminal in the same run. The two take turns,
// run by run, so that both see the same machine. Every run checks that the
// far end got exactly the bytes expected.
//
// Then, for scale, the time the same bytes take on a real line at each rate
// of the window's baud-rate list.
//
// Usage: bench_send [RUNS]   (default 2001; runs offscreen). With BENCH_DEBUG
// set it also prints each case's 10th, 50th and 90th percentiles.

#include "baseline.h"
#include "codepage.h"
#include "commands.h"
#include "form1.h"
#include "table.h"

#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

struct Case
{
    std::string name;
    void (TForm1::*handler)();
    bool discard;
    std::vector<QByteArray> writes;

    QByteArray all() const
    {
        QByteArray bytes;
        for (const QByteArray &w : writes)
            bytes += w;
        return bytes;
    }
};

QByteArray toQ(const display::Bytes &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

[[noreturn]] void fail(const std::string &what)
{
    std::fprintf(stderr, "bench_send: %s\n", what.c_str());
    std::exit(1);
}

// Reads exactly n bytes from the far end (or fails after 5 s). It never
// sleeps: a reader asleep in poll() adds its own wake-up, tens of
// microseconds at the scheduler's whim, to whichever send happens to finish
// before the kernel has passed the bytes on, and so it penalises the faster
// sender. Instead it polls the non-blocking descriptor and yields the
// processor between tries, so that the kernel worker that carries the bytes
// to this end can run at once, even on this processor.
QByteArray readAll(int master, qsizetype n)
{
    QByteArray out;
    out.reserve(n);
    char buf[4096];
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (out.size() < n) {
        const ssize_t got = ::read(master, buf, sizeof buf);
        if (got > 0) {
            out.append(buf, got);
            continue;
        }
        if (Clock::now() > deadline)
            fail("the far end got " + std::to_string(out.size()) + " of " + std::to_string(n) + " bytes");
        sched_yield();
    }
    return out;
}

void expectQuiet(int master)
{
    pollfd p{master, POLLIN, 0};
    if (::poll(&p, 1, 0) > 0)
        fail("bytes arrived that no send made");
}

double micros(Clock::duration d)
{
    return std::chrono::duration<double, std::micro>(d).count();
}

} // namespace

int main(int argc, char *argv[])
{
    const int runs = argc > 1 ? std::atoi(argv[1]) : 2001;
    if (runs < 1)
        fail("RUNS must be a positive number");
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");

    // The far end of the line, and the name COM1 linked to it in a
    // configuration folder of the benchmark's own.
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
        fail("cannot open a pseudo-terminal");
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    QTemporaryDir config;
    if (!config.isValid() || !QDir(config.path()).mkpath(QStringLiteral("vkd417-demo/ports"))
        || !QFile::link(QString::fromLocal8Bit(name), config.path() + QStringLiteral("/vkd417-demo/ports/COM1")))
        fail("cannot link COM1 to the pseudo-terminal");
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(config.path()));

    QApplication application(argc, argv);
    TForm1 form;
    form.show();
    QApplication::processEvents();
    form.findChild<QCheckBox *>(QStringLiteral("chbEnabled"))->setChecked(true);
    form.btUpdateSettingClick();
    if (!form.serialLink().portOpened())
        fail("the window could not open COM1");
    form.findChild<QLineEdit *>(QStringLiteral("edCode"))->setText(QStringLiteral("65"));

    const int baseline = baseline_open(name);
    if (baseline < 0)
        fail("the baseline cannot open the pseudo-terminal");

    // The defaults after the window's activation: 9600 (entry 5) and demo
    // mode 1, and the text the line edit starts with.
    const QString text = form.findChild<QLineEdit *>(QStringLiteral("edText"))->text();
    const display::Bytes text866 = display::toCodePage866(display::toWindows1251(
        std::u16string_view(reinterpret_cast<const char16_t *>(text.utf16()), static_cast<std::size_t>(text.size()))));
    std::vector<QByteArray> letters;
    for (const std::uint8_t letter : display::alphabetRun())
        letters.push_back(QByteArray(1, static_cast<char>(letter)));

    using display::Command;
    using display::frameFor;
    const std::vector<Case> cases = {
        {"Setup (btSetup)", &TForm1::btSetupClick, true, {toQ(display::setupFrame(5))}},
        {"Clear (btClear)", &TForm1::btClearClick, true, {toQ(frameFor(Command::Clear))}},
        {"Cursor (btCursor)", &TForm1::btCursorClick, true, {toQ(frameFor(Command::Cursor))}},
        {"Russian set (btRusSet)", &TForm1::btRusSetClick, true, {toQ(frameFor(Command::RussianSet))}},
        {"English set (btUSset)", &TForm1::btUSsetClick, true, {toQ(frameFor(Command::EnglishSet))}},
        {"German set (btGermany)", &TForm1::btGermanyClick, true, {toQ(frameFor(Command::GermanSet))}},
        {"Save demo (btSaveDemo)", &TForm1::btSaveDemoClick, true, {toQ(frameFor(Command::SaveDemo))}},
        {"View demo, mode 1 (btViewDemo)", &TForm1::btViewDemoClick, true, {toQ(display::viewDemoFrame(1))}},
        {"Printer on (btPrinterON)", &TForm1::btPrinterONClick, true, {toQ(frameFor(Command::PrinterOn))}},
        {"Printer off (btPrinterOFF)", &TForm1::btPrinterOFFClick, true, {toQ(frameFor(Command::PrinterOff))}},
        {"Text (btSendText)", &TForm1::btSendTextClick, true, {toQ(text866)}},
        {"Code 65 (btSendCode)", &TForm1::btSendCodeClick, false, {QByteArray("A")}},
        {"Alphabet run (btABC)", &TForm1::btABCClick, true, letters},
    };

    struct Result
    {
        double program, baseline;
        qsizetype bytes;
        std::size_t writes;
    };
    std::vector<Result> results;
    // Each case starts with unmeasured runs; the first also with half a
    // second of them, for the machine to settle (clock, kernel workers).
    const int warmUp = 50;
    bool first = true;
    for (const Case &c : cases) {
        const QByteArray expected = c.all();
        std::vector<baseline_write> writes;
        for (const QByteArray &w : c.writes)
            writes.push_back({reinterpret_cast<const unsigned char *>(w.constData()), static_cast<size_t>(w.size())});

        std::vector<double> program, plain;
        program.reserve(runs);
        plain.reserve(runs);
        // Program and baseline take turns, and swap which goes first every
        // run, so that neither always follows the other.
        const auto runProgram = [&] {
            expectQuiet(master);
            const auto start = Clock::now();
            (form.*c.handler)();
            const QByteArray got = readAll(master, expected.size());
            const auto end = Clock::now();
            if (got != expected)
                fail(c.name + ": the program sent " + got.toHex(' ').toStdString());
            return micros(end - start);
        };
        const auto runBaseline = [&] {
            expectQuiet(master);
            const auto start = Clock::now();
            if (baseline_send(baseline, c.discard, writes.data(), writes.size()) != 0)
                fail(c.name + ": the baseline's write failed");
            const QByteArray got = readAll(master, expected.size());
            const auto end = Clock::now();
            if (got != expected)
                fail(c.name + ": the baseline sent " + got.toHex(' ').toStdString());
            return micros(end - start);
        };
        if (first) {
            first = false;
            const auto settled = Clock::now() + std::chrono::milliseconds(500);
            while (Clock::now() < settled) {
                runProgram();
                runBaseline();
            }
        }
        for (int i = -warmUp; i < runs; ++i) {
            double p, b;
            if (i % 2) {
                p = runProgram();
                b = runBaseline();
            } else {
                b = runBaseline();
                p = runProgram();
            }
            if (i >= 0) {
                program.push_back(p);
                plain.push_back(b);
            }
        }
        results.push_back({bench::median(program), bench::median(plain), expected.size(), c.writes.size()});
        if (std::getenv("BENCH_DEBUG")) {
            std::sort(program.begin(), program.end());
            std::sort(plain.begin(), plain.end());
            const auto at = [](const std::vector<double> &v, double q) { return v[static_cast<std::size_t>(q * (v.size() - 1))]; };
            std::fprintf(stderr, "%-32s program p10 %.1f p50 %.1f p90 %.1f | baseline p10 %.1f p50 %.1f p90 %.1f\n",
                         c.name.c_str(), at(program, .1), at(program, .5), at(program, .9), at(plain, .1), at(plain, .5), at(plain, .9));
        }
    }

    bool allMet = true;
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Result &r = results[i];
        const std::string what = "send " + cases[i].name + ", " + std::to_string(r.bytes) + " B/"
            + std::to_string(r.writes) + "w";
        allMet &= bench::printRow(what, r.program, r.baseline, "us", 2.0);
    }

    // On a real line each character takes its start bit, data bits, parity
    // bit and stop bits; 8N1, the window's default, is 10 bits.
    const int rates[] = {300, 600, 1200, 2400, 4800, 9600, 14400, 19200};
    const int bitsPerChar = 1 + 8 + 0 + 1;
    std::printf("\nThe same bytes on a real line, 8N1 (%d bits a character: bytes x %d / rate), in ms,\n"
                "and the program's own cost above (its median on the pseudo-terminal) as a share of the\n"
                "line time at the fastest rate:\n",
                bitsPerChar, bitsPerChar);
    std::printf("%-34s %5s", "send", "bytes");
    for (const int rate : rates)
        std::printf(" %8d", rate);
    std::printf(" %9s\n", "share");
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Result &r = results[i];
        std::printf("%-34s %5lld", cases[i].name.c_str(), static_cast<long long>(r.bytes));
        for (const int rate : rates)
            std::printf(" %8.1f", 1000.0 * r.bytes * bitsPerChar / rate);
        const double line19200 = 1e6 * r.bytes * bitsPerChar / 19200;
        std::printf(" %8.2f%%\n", 100.0 * r.program / line19200);
    }
    std::printf("(median of %d runs of each, program and baseline taking turns)\n", runs);

    ::close(baseline);
    form.close();
    ::close(slave);
    ::close(master);
    return allMet ? 0 : 2;
}
