#include "label.h"

#include <QMouseEvent>

void Label::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit click();
}

void Label::mouseMoveEvent(QMouseEvent *event)
{
    // A press that began here keeps sending moves from anywhere; only moves over the label count.
    if (rect().contains(event->position().toPoint()))
        emit mouseMove();
}
