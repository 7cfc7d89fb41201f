// A driver that cannot tell how much output it still holds (TIOCOUTQ fails):
// sends still work, and a drain that never ends still cannot hang the
// program. The driver is a pseudo-terminal whose ioctl calls pass through
// this program's own ioctl first.
#include "comport.h"
#include "pseudoterminal.h"

#include <QTest>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <dlfcn.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>

namespace {

std::atomic<bool> noOutputQueue = false;
std::atomic<bool> drainNeverEnds = false;
std::atomic<bool> flushed = false;

} // namespace

// Every ioctl of the process comes here first; all but the ones a test
// takes away go on to the C library's.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    using Ioctl = int (*)(int, unsigned long, void *);
    static const auto real = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    if (request == TIOCOUTQ && noOutputQueue) {
        errno = ENOTTY;
        return -1;
    }
    if (request == TCFLSH && reinterpret_cast<intptr_t>(argument) != TCIFLUSH)
        flushed = true;
    if (request == TCSBRK && drainNeverEnds) {
        // Waits as a stalled line would, until its output is thrown away.
        while (!flushed)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return real(fd, request, argument);
}

class TestNoOutputQueue : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void sendsWithoutOutputQueue_data();
    void sendsWithoutOutputQueue();

private:
    std::unique_ptr<PortLinks> m_links;
    std::unique_ptr<PseudoTerminal> m_line;
};

void TestNoOutputQueue::init()
{
    m_links = std::make_unique<PortLinks>();
    m_line = std::make_unique<PseudoTerminal>();
    QVERIFY(m_line->isValid());
    QVERIFY(m_links->link(QStringLiteral("COM1"), m_line->devicePath()));
    noOutputQueue = true;
    drainNeverEnds = false;
    flushed = false;
}

void TestNoOutputQueue::cleanup()
{
    noOutputQueue = false;
    drainNeverEnds = false;
    m_line.reset();
    m_links.reset();
}

void TestNoOutputQueue::sendsWithoutOutputQueue_data()
{
    QTest::addColumn<bool>("drainEnds");
    QTest::addColumn<QString>("error");

    QTest::newRow("the drain ends: every byte goes, no error") << true << QString();
    QTest::newRow("the drain never ends: given up at the time-out") << false << "COM1: Write timed out";
}

void TestNoOutputQueue::sendsWithoutOutputQueue()
{
    QFETCH(bool, drainEnds);
    QFETCH(QString, error);

    ComPort port;
    port.setWriteTimeout(300, 0);
    port.open();
    drainNeverEnds = !drainEnds;
    // Forty one-byte writes, as the alphabet run makes.
    QString said;
    for (int i = 0; i < 40 && said.isEmpty(); ++i) {
        try {
            port.clearBuffers();
            port.write(QByteArray(1, char(0x80 + i)));
        } catch (const ComPortError &e) {
            said = QString::fromUtf8(e.what());
        }
    }
    QCOMPARE(said, error);
    QVERIFY(port.isOpen());
    if (drainEnds)
        QCOMPARE(m_line->readExactly(40).size(), 40);
}

QTEST_GUILESS_MAIN(TestNoOutputQueue)
#include "tst_nooutq.moc"
