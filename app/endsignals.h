#pragma once

#include <QObject>

class QSocketNotifier;

// SIGTERM, SIGINT and SIGHUP end the program as closing the window does: the
// window is closed (and with it the port, its lock and its settings), then
// the event loop ends. The handler only writes the signal's number into a
// pipe; everything else happens in the event loop, where the pipe is read.
class EndSignals : public QObject
{
    Q_OBJECT
public:
    // Installs the handlers; on failure the signals keep their default action
    // and error() says why.
    explicit EndSignals(QObject *parent = nullptr);
    ~EndSignals() override;

    QString error() const { return m_error; }

signals:
    void received(int signalNumber);

private:
    void readPipe();

    QSocketNotifier *m_notifier = nullptr;
    QString m_error;
};
