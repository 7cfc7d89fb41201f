#pragma once

#include <QWidget>

class ComPort;

// A green lamp that is lit while its port is open, by itself.
class ComLed : public QWidget
{
    Q_OBJECT
public:
    explicit ComLed(QWidget *parent = nullptr);

    void setComPort(ComPort *port);
    bool isLit() const { return m_lit; }

protected:
    void paintEvent(QPaintEvent *event) override;

private:
    void setLit(bool lit);

    bool m_lit = false;
};
