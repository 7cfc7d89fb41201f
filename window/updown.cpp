#include "updown.h"

#include <QToolButton>

UpDown::UpDown(QWidget *parent)
    : QWidget(parent), m_up(new QToolButton(this)), m_down(new QToolButton(this))
{
    setFocusPolicy(Qt::NoFocus);
    for (QToolButton *button : {m_up, m_down})
        button->setFocusPolicy(Qt::NoFocus);
    m_up->setArrowType(Qt::UpArrow);
    m_down->setArrowType(Qt::DownArrow);
    m_up->setObjectName(QStringLiteral("up"));
    m_down->setObjectName(QStringLiteral("down"));
    connect(m_up, &QToolButton::clicked, this, [this] { step(Button::Up); });
    connect(m_down, &QToolButton::clicked, this, [this] { step(Button::Down); });
}

void UpDown::setRange(int minimum, int maximum)
{
    m_minimum = minimum;
    m_maximum = maximum;
    setPosition(m_position);
}

void UpDown::setPosition(int position)
{
    m_position = qBound(m_minimum, position, m_maximum);
}

void UpDown::step(Button button)
{
    const int next = qBound(m_minimum, m_position + (button == Button::Up ? 1 : -1), m_maximum);
    if (next == m_position)
        return;
    m_position = next;
    emit clicked(button);
}

void UpDown::resizeEvent(QResizeEvent *)
{
    const int upper = height() / 2;
    m_up->setGeometry(0, 0, width(), upper);
    m_down->setGeometry(0, upper, width(), height() - upper);
}
