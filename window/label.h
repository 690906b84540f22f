#pragma once

#include <QLabel>

// A label that reports clicks and pointer movement, for the web link and the mute pad.
class Label : public QLabel
{
    Q_OBJECT
public:
    using QLabel::QLabel;

signals:
    void click();
    void mouseMove();

protected:
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
};
