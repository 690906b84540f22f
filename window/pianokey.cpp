#include "pianokey.h"

#include <QMouseEvent>
#include <QPainter>

PianoKey::PianoKey(int index, bool black, QWidget *parent)
    : QWidget(parent)
    , index_(index)
    , black_(black)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PianoKey::paintEvent(QPaintEvent *)
{
    QPainter painter(this);
    painter.fillRect(rect(), black_ ? Qt::black : Qt::white);
    // A single dark edge keeps neighbouring white keys apart where they overlap.
    painter.setPen(QColor(64, 64, 64));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

PianoKey *PianoKey::keyAt(QPoint windowPos) const
{
    QWidget *top = window();
    if (!top->rect().contains(windowPos))
        return nullptr;
    return qobject_cast<PianoKey *>(top->childAt(windowPos));
}

void PianoKey::notify(PianoKey *key, QPoint windowPos, DragState state)
{
    emit dragOver(key, key->mapFrom(window(), windowPos), state);
}

void PianoKey::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !automaticDrag_ || dragging_)
        return;
    dragging_ = true;
    under_ = this;
    const QPoint windowPos = mapTo(window(), event->position().toPoint());
    notify(this, windowPos, DragState::Enter);
    notify(this, windowPos, DragState::Over);
}

void PianoKey::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging_)
        return;
    const QPoint windowPos = mapTo(window(), event->position().toPoint());
    if (!window()->rect().contains(windowPos)) {
        // Outside the window nothing new may sound, so the key left hears nothing;
        // coming back onto a key with the button held enters it afresh.
        under_ = nullptr;
        return;
    }
    PianoKey *key = keyAt(windowPos);
    if (key != under_) {
        if (under_)
            notify(under_, windowPos, DragState::Leave);
        under_ = key;
        if (key)
            notify(key, windowPos, DragState::Enter);
    }
    if (key)
        notify(key, windowPos, DragState::Over);
}

void PianoKey::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !dragging_)
        return;
    dragging_ = false;
    under_ = nullptr;
}
