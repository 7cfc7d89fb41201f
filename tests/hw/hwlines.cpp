// The guest's half of the line-settings table: runs every case of
// linecases.h through the program's own serial component (ComPort behind
// SerialLink, called as the window's "Обновить" and send buttons call it),
// marks each phase in the referee's record, and notes what the program
// answered. It judges nothing: the host does, from what the device models
// were told.
//
//   hw-lines OUTPUT.jsonl     (as root in the guest: the marks are port writes)

#include "comport.h"
#include "guestmarks.h"
#include "linecases.h"
#include "seriallink.h"

#include <QCoreApplication>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdio>
#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

using namespace hwbench;
using namespace Qt::StringLiterals;

namespace {


PortChoice choiceOf(Device device, const Setting &s)
{
    return {s.baudIndex, QString::fromLatin1(comName(device)), static_cast<int>(s.parity),
            static_cast<int>(s.dataBits), static_cast<int>(s.stopBits)};
}

int openRaw(Device device)
{
    return ::open(devicePath(device), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

void setRate(int fd, speed_t rate)
{
    termios t{};
    ::tcgetattr(fd, &t);
    ::cfsetospeed(&t, rate);
    ::cfsetispeed(&t, rate);
    ::tcsetattr(fd, TCSANOW, &t);
}

// Opens the device, sets its rate and closes it: the driver keeps the rate
// for the next open.
void leaveAtRate(Device device, speed_t rate)
{
    const int fd = openRaw(device);
    setRate(fd, rate);
    ::close(fd);
}

// Opens and sets the device by hand (and once through the program), each
// step marked, so that the host can see from the modem control writes when
// the kernel raises DTR and RTS.
void studyDtrAtOpen(ComPort &port, SerialLink &link)
{
    for (Device device : {Device::Uart, Device::Usb}) {
        int fd = -1;
        for (int step = 0; step < int(DtrStudy::Count); ++step) {
            mark(Phase::Begin, dtrStudyNumber(device, DtrStudy(step)));
            switch (DtrStudy(step)) {
            case DtrStudy::PlainOpen:
                ::close(openRaw(device));
                break;
            case DtrStudy::LeaveAtZero:
                leaveAtRate(device, B0);
                break;
            case DtrStudy::OpenAtZero:
                fd = openRaw(device);
                break;
            case DtrStudy::RateFromZero:
                setRate(fd, B9600);
                setRate(fd, B0);
                ::close(fd);
                break;
            case DtrStudy::ProgramOpenAtZero:
                link.update(choiceOf(device, Setting{}), true);
                port.close();
                link.clearPortOpened();
                break;
            case DtrStudy::PutBackRate:
                leaveAtRate(device, B9600);
                break;
            case DtrStudy::Count:
                break;
            }
            mark(Phase::End, dtrStudyNumber(device, DtrStudy(step)));
        }
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: hw-lines OUTPUT.jsonl\n");
        return 2;
    }
    if (!reachMarkPort("hw-lines"))
        return 1;
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        std::fprintf(stderr, "hw-lines: cannot write %s\n", argv[1]);
        return 1;
    }

    ComPort port;
    SerialLink link(port);
    for (const LineCase &c : lineCases()) {
        QJsonObject note{{u"case"_s, c.number}};
        mark(Phase::Begin, c.number);
        if (c.path == Path::WhileOpen) {
            try {
                if (link.update(choiceOf(c.device, base), true) != SerialLink::UpdateResult::Opened)
                    note[u"prepare"_s] = u"the port did not open under the base settings"_s;
            } catch (const std::exception &e) {
                note[u"prepare"_s] = QString::fromStdString(e.what());
            }
        }
        mark(Phase::Change, c.number);
        try {
            // The window shows only "Error opening port !" and keeps the
            // reason for the lamp's tip.
            if (link.update(choiceOf(c.device, c.setting), true) == SerialLink::UpdateResult::OpenFailed)
                note[u"message"_s] = link.lastOpenError();
        } catch (const std::exception &e) {
            // What the window shows in its error box.
            note[u"message"_s] = QString::fromStdString(e.what());
        }
        note[u"open"_s] = link.portOpened() && port.isOpen();
        mark(Phase::Sending, c.number);
        try {
            link.send(QByteArray::fromStdString(payload(c.number)));
        } catch (const std::exception &e) {
            note[u"sendError"_s] = QString::fromStdString(e.what());
        }
        mark(Phase::Sent, c.number);
        port.close();
        link.clearPortOpened();
        mark(Phase::End, c.number);
        out.write(QJsonDocument(note).toJson(QJsonDocument::Compact) + '\n');
        out.flush();
    }
    studyDtrAtOpen(port, link);
    return 0;
}
