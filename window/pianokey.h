#pragma once

#include <QWidget>

// One key of the on-screen keyboard. A left-button press starts a drag: from then
// until the release, the key under the pointer, found by the window's own
// hit-testing, is reported when the pointer enters it, on each move over it and when
// it leaves it.
// Qt hands every move of a drag to the pressed widget and sends no enter or leave
// events meanwhile, so the pressed key does the hit-testing for the whole keyboard.
// A drag also ends when a modal box blocks the window: Qt then drops the release, which
// would leave the key waiting for it and deaf to the next press.
class PianoKey : public QWidget
{
    Q_OBJECT
public:
    PianoKey(int index, bool black, QWidget *parent);

    int index() const { return index_; }
    void setAutomaticDrag(bool on) { automaticDrag_ = on; }

    // The key the pointer is on, at a position in the window's coordinates, perhaps fractional.
    static PianoKey *keyOnPixel(QWidget *window, QPointF windowPos);
    // Starts a drag from a press that Qt gave to the window beside the keyboard: rounding to
    // whole pixels moves the pointer half a pixel at a scale of 2. The key takes the mouse
    // until the button is let go.
    void pressFromWindow(QMouseEvent *event);

signals:
    // Emitted by the key being dragged for `key`, the key under the pointer.
    void dragOver(PianoKey *key);

protected:
    bool event(QEvent *event) override;
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;

private:
    PianoKey *keyAt(QPoint windowPos) const;
    // Reports `key`; false when that ended the drag (a box opened from the report).
    bool report(PianoKey *key);
    void endDrag();

    int index_;
    bool black_;
    bool automaticDrag_ = false;
    bool dragging_ = false;
    bool grabbing_ = false;
    PianoKey *under_ = nullptr;  // the key the pointer is over during a drag
};
