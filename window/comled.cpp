#include "comled.h"

#include "comport.h"

#include <QPainter>

ComLed::ComLed(QWidget *parent) : QWidget(parent)
{
    setFocusPolicy(Qt::NoFocus);
}

void ComLed::setComPort(ComPort *port)
{
    connect(port, &ComPort::openChanged, this, &ComLed::setLit);
    setLit(port->isOpen());
}

void ComLed::setLit(bool lit)
{
    if (lit == m_lit)
        return;
    m_lit = lit;
    update();
}

void ComLed::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const int d = qMin(width(), height()) - 4;
    const QRectF lamp((width() - d) / 2.0, (height() - d) / 2.0, d, d);
    QRadialGradient light(lamp.center() - QPointF(d / 5.0, d / 5.0), d / 1.5);
    light.setColorAt(0, m_lit ? QColor(0xb0, 0xff, 0xb0) : QColor(0x30, 0x70, 0x30));
    light.setColorAt(1, m_lit ? QColor(0x00, 0xd0, 0x00) : QColor(0x00, 0x38, 0x00));
    painter.setPen(QPen(QColor(0x20, 0x20, 0x20), 1));
    painter.setBrush(light);
    painter.drawEllipse(lamp);
}
