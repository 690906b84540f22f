#include "pianokey.h"

#include <QMouseEvent>
#include <QPainter>
#include <QtMath>

#include <utility>

namespace {

// The window pixel that holds a position. Qt rounds a position to the nearest pixel to find the
// widget under the pointer; at a scale factor of 2 a device pixel is half a logical pixel, and
// rounding hands the last column and row of device pixels of a key to the key beyond its edge.
QPoint pixelAt(QPointF windowPos) { return QPoint(qFloor(windowPos.x()), qFloor(windowPos.y())); }

} // namespace

PianoKey::PianoKey(int index, bool black, QWidget *parent)
    : QWidget(parent)
    , index_(index)
    , black_(black)
{
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PianoKey::paintEvent(QPaintEvent *)
{
    // A single dark edge keeps neighbouring white keys apart where they overlap. It is filled,
    // not stroked: a pen straddles the outline, and at a scale of 2 half of it falls outside
    // the key while a strip of the key shows beyond its right and lower edges.
    QPainter painter(this);
    painter.fillRect(rect(), QColor(64, 64, 64));
    painter.fillRect(rect().adjusted(1, 1, -1, -1), black_ ? Qt::black : Qt::white);
}

PianoKey *PianoKey::keyOnPixel(QWidget *window, QPointF windowPos)
{
    const QPoint pixel = pixelAt(windowPos);
    if (!window->rect().contains(pixel))
        return nullptr;
    return qobject_cast<PianoKey *>(window->childAt(pixel));
}

void PianoKey::pressFromWindow(QMouseEvent *event)
{
    mousePressEvent(event);
    if (dragging_) {
        grabMouse();
        grabbing_ = true;
    }
}

PianoKey *PianoKey::keyAt(QPoint windowPos) const { return keyOnPixel(window(), windowPos); }

bool PianoKey::report(PianoKey *key)
{
    emit dragOver(key);
    return dragging_;
}

void PianoKey::endDrag()
{
    dragging_ = false;
    under_ = nullptr;
    if (grabbing_) {
        grabbing_ = false;
        releaseMouse();
    }
}

bool PianoKey::event(QEvent *event)
{
    // The window passes WindowBlocked on to every child when a modal box opens over it.
    if (event->type() == QEvent::WindowBlocked && dragging_)
        endDrag();
    return QWidget::event(event);
}

void PianoKey::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || !automaticDrag_)
        return;
    // A drag still under way lost its release to another grab of the pointer: it is over.
    if (dragging_)
        endDrag();
    const QPoint windowPos = pixelAt(event->scenePosition());
    PianoKey *key = keyAt(windowPos);
    if (key == nullptr)
        return;  // the pointer is beside the keys; only rounding brought the press here
    dragging_ = true;
    under_ = key;
    // As for every key the drag reaches: one report for entering it, one for the move.
    if (report(key))
        report(key);
}

void PianoKey::mouseMoveEvent(QMouseEvent *event)
{
    if (!dragging_)
        return;
    const QPoint windowPos = pixelAt(event->scenePosition());
    if (!window()->rect().contains(windowPos)) {
        // Outside the window nothing new may sound, so the key left hears nothing;
        // coming back onto a key with the button held enters it afresh.
        under_ = nullptr;
        return;
    }
    // Leaving a key, entering one and moving over it are each reported.
    PianoKey *key = keyAt(windowPos);
    if (key != under_) {
        PianoKey *left = std::exchange(under_, key);
        if (left && !report(left))
            return;
        if (key && !report(key))
            return;
    }
    if (key)
        report(key);
}

void PianoKey::mouseReleaseEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && dragging_)
        endDrag();
}
