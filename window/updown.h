#pragma once

#include <QWidget>

class QToolButton;

// An up-down spinner that is only its two arrows, attached to no other
// control. It stops at its ends and reports a click only when it moved.
class UpDown : public QWidget
{
    Q_OBJECT
public:
    enum class Button { Up, Down };

    explicit UpDown(QWidget *parent = nullptr);

    void setRange(int minimum, int maximum);
    int minimum() const { return m_minimum; }
    int maximum() const { return m_maximum; }
    int position() const { return m_position; }
    void setPosition(int position);

    QToolButton *upButton() const { return m_up; }
    QToolButton *downButton() const { return m_down; }

signals:
    void clicked(UpDown::Button button);

protected:
    void resizeEvent(QResizeEvent *event) override;

private:
    void step(Button button);

    QToolButton *m_up = nullptr;
    QToolButton *m_down = nullptr;
    int m_minimum = 0;
    int m_maximum = 100;
    int m_position = 0;
};
