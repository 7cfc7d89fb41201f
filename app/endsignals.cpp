#include "endsignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr int endSignals[] = {SIGTERM, SIGINT, SIGHUP};

int signalPipe[2] = {-1, -1};

extern "C" void onEndSignal(int signalNumber)
{
    const int saved = errno;
    const auto byte = static_cast<unsigned char>(signalNumber);
    // A full pipe already holds a signal that will end the program.
    [[maybe_unused]] const ssize_t n = ::write(signalPipe[1], &byte, 1);
    errno = saved;
}

} // namespace

EndSignals::EndSignals(QObject *parent) : QObject(parent)
{
    if (::pipe2(signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        m_error = QStringLiteral("cannot set up signal handling: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }
    m_notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &EndSignals::readPipe);

    struct sigaction action{};
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    // A write or a wait in progress goes on; the signal is seen once the
    // event loop runs again, which a bounded write lets it do soon.
    action.sa_flags = SA_RESTART;
    for (const int s : endSignals)
        ::sigaction(s, &action, nullptr);
}

EndSignals::~EndSignals()
{
    if (signalPipe[0] < 0)
        return;
    struct sigaction action{};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int s : endSignals)
        ::sigaction(s, &action, nullptr);
    delete m_notifier;
    m_notifier = nullptr;
    ::close(signalPipe[0]);
    ::close(signalPipe[1]);
    signalPipe[0] = signalPipe[1] = -1;
}

void EndSignals::readPipe()
{
    unsigned char byte = 0;
    while (::read(signalPipe[0], &byte, 1) == 1)
        emit received(byte);
}
